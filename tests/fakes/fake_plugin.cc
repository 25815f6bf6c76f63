#include "tests/fakes/fake_plugin.h"

#include <utility>

#include "velm/plugin.h"

namespace fake {

PluginWorld& Plugins() {
  static PluginWorld* world = new PluginWorld();
  return *world;
}

void ResetPlugins() { Plugins() = PluginWorld(); }

void AddSimilarPlugin(const std::string& id, PluginAnswer answer, bool ranked) {
  PluginWorld& w = Plugins();
  w.folder[id]["id"] = id;
  w.answers[id] = std::move(answer);
  if (ranked) w.conf["priority"]["movie"]["similar"].append(id);
}

PluginAnswer FixedAnswer(const Json::Value& value, int result) {
  return [value, result](const Json::Value&, unsigned long, Json::Value& answer) {
    answer = value;
    return result;
  };
}

PluginAnswer RankedAnswer(const std::vector<Json::Value>& titles) {
  return [titles](const Json::Value&, unsigned long limit, Json::Value& answer) {
    answer = Json::Value(Json::arrayValue);
    for (size_t i = 0; i < titles.size() && i < limit; ++i) answer.append(titles[i]);
    return 0;
  };
}

Json::Value TmdbTitle(const std::string& title, const Json::Value& tmdb_id) {
  Json::Value value(Json::objectValue);
  value["title"] = title;
  value["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"] = tmdb_id;
  return value;
}

}  // namespace fake

namespace VELMKinoro {

int VELMVideoLoadPluginFromConf(Json::Value& conf) {
  fake::PluginWorld& w = fake::Plugins();
  ++w.conf_loads;
  w.calls.push_back("conf");
  conf = w.conf;
  return 0;
}

int VELMVideoGetPluginPriority(Json::Value& conf, std::string type, std::string lang,
                               std::string action, std::vector<std::string>& plugins) {
  fake::PluginWorld& w = fake::Plugins();
  w.calls.push_back("priority");
  w.priority_calls.push_back({conf, type, lang, action});
  plugins.clear();
  const Json::Value& loaded = conf;  // reading must not add members
  const Json::Value& list = loaded["priority"][type][action];
  if (!list.isArray()) return -1;
  for (const Json::Value& id : list) plugins.push_back(id.asString());
  return 0;
}

int VELMVideoLoadPluginFromFolder(Json::Value& plugins) {
  fake::PluginWorld& w = fake::Plugins();
  ++w.folder_loads;
  w.calls.push_back("folder");
  plugins = w.folder;
  return 0;
}

int VideoPluginLookup(const Json::Value& plugin, const std::string& type, const std::string& lang,
                      const Json::Value& request, Json::Value& result, unsigned long limit,
                      bool with_settings) {
  fake::PluginWorld& w = fake::Plugins();
  fake::PluginLookup lookup;
  lookup.id = plugin["id"].asString();
  lookup.type = type;
  lookup.lang = lang;
  lookup.request = request;
  lookup.result_in = result;
  lookup.limit = limit;
  lookup.with_settings = with_settings;
  w.lookups.push_back(lookup);
  w.calls.push_back("lookup " + lookup.id);
  auto it = w.answers.find(lookup.id);
  if (it == w.answers.end()) {
    result = Json::Value(Json::arrayValue);
    return 0;
  }
  return it->second(request, limit, result);
}

}  // namespace VELMKinoro
