// The metadata plug-in engine: plug-in descriptions from their folders, the
// ranking and settings from the configuration file, and one lookup as one
// run of the plug-in's program.
#include "velm/plugin.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/plugin/child_process.h"
#include "platform/plugin/plugin_config.h"
#include "platform/plugin/plugin_json.h"

namespace VELMKinoro {
namespace {

using velm_plugin::ChildOptions;
using velm_plugin::ChildOutcome;
using velm_plugin::ChildResult;

// Configuration files and INFO files are small; this only keeps a stray
// large file from being read into memory.
constexpr size_t kMaxFileBytes = 1 << 20;

const Json::Value* Member(const Json::Value& value, const std::string& key) {
  if (!value.isObject()) return nullptr;
  return value.find(key.data(), key.data() + key.size());
}

bool IsStringArray(const Json::Value& value) {
  if (!value.isArray()) return false;
  for (const Json::Value& item : value) {
    if (!item.isString()) return false;
  }
  return true;
}

bool ArrayHas(const Json::Value* array, const std::string& text) {
  if (array == nullptr || !array->isArray()) return false;
  for (const Json::Value& item : *array) {
    if (item.isString() && item.asString() == text) return true;
  }
  return false;
}

// A program name that stays inside the plug-in's folder.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Empty when `info` can describe a plug-in, else why not.
std::string CheckInfo(const Json::Value& info) {
  if (!info.isObject()) return "not a JSON object";
  const Json::Value* id = Member(info, "id");
  if (id == nullptr || !id->isString() || id->asString().empty()) return "no \"id\"";
  const Json::Value* exec = Member(info, "exec");
  if (exec == nullptr || !exec->isString() || !IsPlainFileName(exec->asString())) {
    return "\"exec\" is not a file name";
  }
  const Json::Value* name = Member(info, "name");
  if (name != nullptr && !name->isString()) return "\"name\" is not a string";
  for (const char* key : {"types", "actions"}) {
    const Json::Value* list = Member(info, key);
    if (list == nullptr || !IsStringArray(*list)) {
      return std::string("\"") + key + "\" is not an array of strings";
    }
  }
  for (const char* key : {"languages", "requires_settings"}) {
    const Json::Value* list = Member(info, key);
    if (list != nullptr && !IsStringArray(*list)) {
      return std::string("\"") + key + "\" is not an array of strings";
    }
  }
  const Json::Value* timeout = Member(info, "timeout_s");
  if (timeout != nullptr && (!timeout->isNumeric() || !(timeout->asDouble() > 0) ||
                             timeout->asDouble() > velm_plugin::kMaxTimeoutSeconds)) {
    return "\"timeout_s\" is not a number of seconds in (0, 600]";
  }
  return "";
}

int TimeoutMillis(const Json::Value& plugin) {
  const Json::Value* timeout = Member(plugin, "timeout_s");
  double seconds = velm_plugin::kDefaultTimeoutSeconds;
  if (timeout != nullptr && timeout->isNumeric() && timeout->asDouble() > 0) {
    seconds = std::min(timeout->asDouble(), velm_plugin::kMaxTimeoutSeconds);
  }
  return static_cast<int>(std::lround(seconds * 1000));
}

// One log line from a multi-line message.
std::string OneLine(const std::string& text) {
  std::string line;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !line.empty();
      continue;
    }
    if (space) line += ' ';
    space = false;
    line += c;
  }
  return line;
}

// The last non-empty line of a plug-in's standard error, shortened: enough
// to tell why it failed without flooding the log. The text may echo what a
// web service sent, so control bytes (a carriage return, a terminal escape)
// are written as \xHH rather than passed to the log.
std::string LastLine(const std::string& text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  size_t begin = text.rfind('\n', end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  size_t i = begin;
  for (; i <= end && line.size() < 200; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      line += "\\x";
      line += kHex[c >> 4];
      line += kHex[c & 0xf];
    } else {
      line += static_cast<char>(c);
    }
  }
  if (i <= end) line += "...";
  return line;
}

int LoadConf(Json::Value& conf) {
  conf = Json::Value(Json::objectValue);
  const std::string path = velm_plugin::PluginConfPath();
  Json::Value parsed;
  std::string error;
  if (!velm_plugin::ReadJsonFile(path, kMaxFileBytes, &parsed, &error)) {
    syslog(LOG_ERR, "%s:%d cannot load plug-in configuration %s: %s", "plugin", __LINE__,
           path.c_str(), OneLine(error).c_str());
    return -1;
  }
  if (!parsed.isObject()) {
    syslog(LOG_ERR, "%s:%d plug-in configuration %s is not a JSON object", "plugin", __LINE__,
           path.c_str());
    return -1;
  }
  conf = std::move(parsed);
  return 0;
}

int GetPriority(const Json::Value& config, const std::string& type, const std::string& lang,
                const std::string& action, std::vector<std::string>& plugins) {
  plugins.clear();
  const Json::Value* priority = Member(config, "priority");
  const Json::Value* by_type = priority ? Member(*priority, type) : nullptr;
  const Json::Value* list = by_type ? Member(*by_type, action) : nullptr;
  if (list == nullptr || !list->isArray()) return -1;

  Json::Value installed;
  if (!lang.empty()) VELMVideoLoadPluginFromFolder(installed);
  std::set<std::string> seen;
  for (const Json::Value& item : *list) {
    if (!item.isString() || item.asString().empty()) continue;
    const std::string id = item.asString();
    if (!seen.insert(id).second) continue;
    if (!lang.empty()) {
      // A plug-in that lists no languages does not depend on one (it works
      // on identifiers, say) and serves every language.
      const Json::Value* info = Member(installed, id);
      if (info == nullptr) continue;
      const Json::Value* languages = Member(*info, "languages");
      if (languages != nullptr && !ArrayHas(languages, lang)) continue;
    }
    plugins.push_back(id);
  }
  return 0;
}

int LoadFolder(Json::Value& plugins) {
  plugins = Json::Value(Json::objectValue);
  std::string folder = velm_plugin::PluginFolder();
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) != nullptr) folder = resolved;

  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) {
    syslog(LOG_ERR, "%s:%d cannot open plug-in folder %s", "plugin", __LINE__, folder.c_str());
    return -1;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  // A stable order, so that the log reads the same on every load.
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    Json::Value info;
    std::string error;
    if (!velm_plugin::ReadJsonFile(path + "/INFO", kMaxFileBytes, &info, &error)) {
      syslog(LOG_ERR, "%s:%d skipping plug-in folder %s: INFO: %s", "plugin", __LINE__,
             path.c_str(), OneLine(error).c_str());
      continue;
    }
    error = CheckInfo(info);
    // The id is the folder's name, so that two folders cannot claim one id.
    if (error.empty() && info["id"].asString() != name) error = "\"id\" is not the folder's name";
    if (!error.empty()) {
      syslog(LOG_ERR, "%s:%d skipping plug-in folder %s: %s", "plugin", __LINE__, path.c_str(),
             error.c_str());
      continue;
    }
    info["path"] = path;
    plugins[name] = std::move(info);
  }
  return 0;
}

int Lookup(const Json::Value& plugin, const std::string& type, const std::string& lang,
           const Json::Value& request, Json::Value& result, unsigned long limit,
           bool with_settings) {
  result = Json::Value();
  const Json::Value* id_value = Member(plugin, "id");
  const Json::Value* path_value = Member(plugin, "path");
  const std::string id = id_value && id_value->isString() ? id_value->asString() : "";
  const std::string folder = path_value && path_value->isString() ? path_value->asString() : "";
  const std::string problem = folder.empty() ? "no \"path\"" : CheckInfo(plugin);
  if (!problem.empty()) {
    syslog(LOG_ERR, "%s:%d invalid plug-in description %s: %s", "plugin", __LINE__, id.c_str(),
           problem.c_str());
    return -1;
  }

  // The module asks only for similar titles and names no action; another
  // caller may name one in the request.
  const Json::Value* action_value = Member(request, "action");
  const std::string action =
      action_value && action_value->isString() ? action_value->asString() : "similar";
  if (!ArrayHas(Member(plugin, "types"), type) || !ArrayHas(Member(plugin, "actions"), action)) {
    syslog(LOG_ERR, "%s:%d plug-in %s does not serve %s %s", "plugin", __LINE__, id.c_str(),
           type.c_str(), action.c_str());
    return -1;
  }

  Json::Value settings(Json::objectValue);
  if (with_settings) {
    Json::Value conf;
    if (VELMVideoLoadPluginFromConf(conf) == 0) {
      const Json::Value* all = Member(conf, "settings");
      const Json::Value* own = all ? Member(*all, id) : nullptr;
      if (own != nullptr && own->isObject()) settings = *own;
    }
  }

  // A plug-in that names settings it cannot work without (tmdb's api_key)
  // is not started without them: it would only load its libraries and set up
  // TLS to find that out. Said once per plug-in and settings, not per call.
  const Json::Value* required = Member(plugin, "requires_settings");
  for (const Json::Value& name : required ? *required : Json::Value(Json::arrayValue)) {
    const Json::Value* value = Member(settings, name.asString());
    if (value != nullptr && !value->empty() && !(value->isString() && value->asString().empty())) {
      continue;
    }
    static std::mutex mutex;
    static std::map<std::string, std::string> said;  // plug-in id: the settings it was said for
    const std::string text = settings.toStyledString();
    std::lock_guard<std::mutex> lock(mutex);
    if (said[id] != text) {
      said[id] = text;
      syslog(LOG_WARNING, "%s:%d plug-in %s skipped: its settings have no %s", "plugin", __LINE__,
             id.c_str(), name.asString().c_str());
    }
    return -1;
  }

  Json::Value message(Json::objectValue);
  message["action"] = action;
  message["type"] = type;
  message["lang"] = lang;
  message["input"] = request;
  message["limit"] = Json::UInt64(limit);
  message["settings"] = std::move(settings);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const std::string input = Json::writeString(writer, message) + "\n";

  ChildOptions options;
  options.program = folder + "/" + Member(plugin, "exec")->asString();
  options.cwd = folder;
  options.env = {velm_plugin::kPluginPath};
  options.timeout_ms = TimeoutMillis(plugin);
  options.output_cap = velm_plugin::kOutputCap;
  const ChildResult run = velm_plugin::RunChild(options, input);

  if (run.outcome != ChildOutcome::kExited || run.exit_code != 0) {
    syslog(LOG_ERR, "%s:%d plug-in %s %s: %s", "plugin", __LINE__, id.c_str(),
           velm_plugin::DescribeOutcome(run).c_str(), LastLine(run.err).c_str());
    return -1;
  }
  Json::Value answer;
  std::string error;
  if (!velm_plugin::ParseJson(run.out, &answer, &error)) {
    syslog(LOG_ERR, "%s:%d plug-in %s answered with output that is not JSON: %s", "plugin",
           __LINE__, id.c_str(), OneLine(error).c_str());
    return -1;
  }
  result = std::move(answer);
  return 0;
}

// The entry points let no exception out: the caller is another shared
// library, and a lookup that fails in an unexpected way (out of memory, say)
// is still just a failed lookup.
template <typename Body, typename Reset>
int Guarded(const char* name, Body body, Reset reset) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    syslog(LOG_ERR, "%s:%d %s failed: %s", "plugin", __LINE__, name, e.what());
  } catch (...) {
    syslog(LOG_ERR, "%s:%d %s failed", "plugin", __LINE__, name);
  }
  try {
    reset();
  } catch (...) {
  }
  return -1;
}

}  // namespace

int VELMVideoLoadPluginFromConf(Json::Value& conf) {
  return Guarded(
      __func__, [&] { return LoadConf(conf); }, [&] { conf = Json::Value(Json::objectValue); });
}

int VELMVideoGetPluginPriority(Json::Value& conf, std::string type, std::string lang,
                               std::string action, std::vector<std::string>& plugins) {
  return Guarded(
      __func__, [&] { return GetPriority(conf, type, lang, action, plugins); },
      [&] { plugins.clear(); });
}

int VELMVideoLoadPluginFromFolder(Json::Value& plugins) {
  return Guarded(
      __func__, [&] { return LoadFolder(plugins); },
      [&] { plugins = Json::Value(Json::objectValue); });
}

int VideoPluginLookup(const Json::Value& plugin, const std::string& type, const std::string& lang,
                      const Json::Value& request, Json::Value& result, unsigned long limit,
                      bool with_settings) {
  return Guarded(
      __func__, [&] { return Lookup(plugin, type, lang, request, result, limit, with_settings); },
      [&] { result = Json::Value(); });
}

}  // namespace VELMKinoro
