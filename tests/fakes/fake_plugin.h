// A scripted stand-in for the metadata plug-in engine, for unit tests of the
// module: tests describe the configuration, the installed plug-ins and each
// plug-in's answer, run a method, then read which lookups the module made.
// Linking the kinoro_fake_plugin object library into a test binary replaces
// the engine's four functions for the objects linked into it.
#ifndef KINORO_TESTS_FAKES_FAKE_PLUGIN_H_
#define KINORO_TESTS_FAKES_FAKE_PLUGIN_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

namespace fake {

// One VideoPluginLookup as the module made it.
struct PluginLookup {
  std::string id;  // the description's "id"
  std::string type;
  std::string lang;
  Json::Value request;
  Json::Value result_in;  // the result value as handed in
  unsigned long limit = 0;
  bool with_settings = false;
};

struct PluginPriorityCall {
  Json::Value conf;
  std::string type;
  std::string lang;
  std::string action;
};

// A plug-in's behaviour: given the request and the count asked, fill the
// answer and return the lookup's result (negative for a failed lookup).
using PluginAnswer =
    std::function<int(const Json::Value& request, unsigned long limit, Json::Value& answer)>;

struct PluginWorld {
  // Handed out by VELMVideoLoadPluginFromConf; VELMVideoGetPluginPriority
  // reads conf["priority"][type][action], an array of ids.
  Json::Value conf = Json::Value(Json::objectValue);
  // Handed out by VELMVideoLoadPluginFromFolder: id -> {"id": id}.
  Json::Value folder = Json::Value(Json::objectValue);
  // Answers by plug-in id; an installed plug-in without one answers [].
  std::map<std::string, PluginAnswer> answers;

  int conf_loads = 0;
  int folder_loads = 0;
  std::vector<PluginPriorityCall> priority_calls;
  std::vector<PluginLookup> lookups;
  // Every engine call in order: "conf", "priority", "folder", "lookup <id>".
  std::vector<std::string> calls;
};

PluginWorld& Plugins();
void ResetPlugins();

// Installs plug-in `id` with `answer`, and appends it to the priority list of
// (type "movie", action "similar") when `ranked`.
void AddSimilarPlugin(const std::string& id, PluginAnswer answer, bool ranked = true);

// An answer that always gives `value` and returns `result`.
PluginAnswer FixedAnswer(const Json::Value& value, int result = 0);
// An answer that gives the first `limit` of `titles`, as a ranking plug-in does.
PluginAnswer RankedAnswer(const std::vector<Json::Value>& titles);

// A title in the plug-ins' answer form with the given TMDb id.
Json::Value TmdbTitle(const std::string& title, const Json::Value& tmdb_id);

}  // namespace fake

#endif  // KINORO_TESTS_FAKES_FAKE_PLUGIN_H_
