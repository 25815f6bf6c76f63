// The metadata plug-in engine: plug-in descriptions from their folders, the
// ranking and settings from the configuration file, and one lookup as one
// run of the plug-in's program, or one exchange with its warm process when
// it serves many requests.
#include "velm/plugin.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

#include "platform/plugin/child_process.h"
#include "platform/plugin/plugin_config.h"
#include "platform/plugin/plugin_json.h"

namespace VELMKinoro {
namespace {

using velm_plugin::ChildOptions;
using velm_plugin::ChildOutcome;
using velm_plugin::ChildResult;
using velm_plugin::LineChild;

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
  const Json::Value* serves_many = Member(info, "serves_many");
  if (serves_many != nullptr && !serves_many->isBool()) return "\"serves_many\" is not a boolean";
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

// Text from a plug-in, shortened for the log. It may echo what a web
// service sent, so control bytes (a carriage return, a terminal escape) are
// written as \xHH rather than passed to the log.
std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  size_t i = 0;
  for (; i < text.size() && line.size() < 200; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      line += "\\x";
      line += kHex[c >> 4];
      line += kHex[c & 0xf];
    } else {
      line += static_cast<char>(c);
    }
  }
  if (i < text.size()) line += "...";
  return line;
}

// The last non-empty line of a plug-in's standard error: enough to tell why
// it failed without flooding the log.
std::string LastLine(const std::string& text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  size_t begin = text.rfind('\n', end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  return Printable(text.substr(begin, end + 1 - begin));
}

// What a file was when it was read. A file rewritten in place keeps its
// inode; its size or time stamp changes.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  long long mtime_ns = 0;
  bool operator==(const FileStamp& other) const {
    return dev == other.dev && ino == other.ino && size == other.size && mtime_ns == other.mtime_ns;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// A missing file has the empty stamp.
FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return stamp;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return stamp;
}

// Time stamps move in clock ticks, so a file written again within the tick
// of the write a reader saw looks unchanged. What was read from files this
// old is kept; what was read from younger files is read again next time.
bool Settled(const FileStamp& stamp) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
  return stamp.mtime_ns < now_ns - 1000000000LL;
}

// The module reads the configuration and the plug-in folder on every call;
// both are parsed again only when a file under them changed. Failures are
// not kept: they are logged on every call, as before.
struct LoadCache {
  std::mutex mutex;
  std::string conf_path;
  FileStamp conf_stamp;
  Json::Value conf;    // null: nothing kept
  std::string folder;  // as configured
  // The folder, then each sub-folder and its INFO, in name order.
  std::vector<std::pair<std::string, FileStamp>> folder_stamps;
  Json::Value plugins;  // null: nothing kept
};

LoadCache& Cache() {
  static LoadCache* cache = new LoadCache();  // never destroyed: see GetPaths
  return *cache;
}

int LoadConf(Json::Value& conf) {
  conf = Json::Value(Json::objectValue);
  const std::string path = velm_plugin::PluginConfPath();
  // Stamped before the read: a change during the read is seen next time.
  const FileStamp stamp = StampOf(path);
  LoadCache& cache = Cache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!cache.conf.isNull() && cache.conf_path == path && cache.conf_stamp == stamp) {
      conf = cache.conf;
      return 0;
    }
  }
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
  if (Settled(stamp)) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.conf_path = path;
    cache.conf_stamp = stamp;
    cache.conf = parsed;
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

// Whether the stamps taken at the last load still hold.
bool Unchanged(const std::vector<std::pair<std::string, FileStamp>>& kept) {
  for (const auto& [path, stamp] : kept) {
    if (StampOf(path) != stamp) return false;
  }
  return !kept.empty();
}

int LoadFolder(Json::Value& plugins) {
  plugins = Json::Value(Json::objectValue);
  const std::string configured = velm_plugin::PluginFolder();
  LoadCache& cache = Cache();
  {
    std::vector<std::pair<std::string, FileStamp>> kept;
    {
      std::lock_guard<std::mutex> lock(cache.mutex);
      if (!cache.plugins.isNull() && cache.folder == configured) kept = cache.folder_stamps;
    }
    // The stat calls run without the lock; a load in between that keeps a
    // newer result makes this one miss, not return a stale answer.
    if (Unchanged(kept)) {
      std::lock_guard<std::mutex> lock(cache.mutex);
      if (cache.folder == configured && cache.folder_stamps == kept) {
        plugins = cache.plugins;
        return 0;
      }
    }
  }

  std::string folder = configured;
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) != nullptr) folder = resolved;
  // Stamped before anything is read (see LoadConf). A folder's time stamp
  // changes when an entry is added, removed or renamed.
  std::vector<std::pair<std::string, FileStamp>> stamps;
  stamps.emplace_back(configured, StampOf(configured));

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
    stamps.emplace_back(path, StampOf(path));
    stamps.emplace_back(path + "/INFO", StampOf(path + "/INFO"));
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
  bool settled = true;
  for (const auto& entry : stamps) settled = settled && Settled(entry.second);
  if (settled) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.folder = configured;
    cache.folder_stamps = std::move(stamps);
    cache.plugins = plugins;
  }
  return 0;
}

// Warm processes of plug-ins that serve many requests: at most one per
// plug-in, program and caller ids in this process. A worker calls the
// engine as root in the module's run-as-root window and as the run user
// outside it; a child runs with the ids it was started with, so each set of
// ids has its own. An entry is taken out of the table for the length of an
// exchange, so the lock is never held while a plug-in works.
struct WarmKey {
  std::string id;
  std::string program;
  uid_t uid;
  gid_t gid;
  bool operator<(const WarmKey& other) const {
    return std::tie(id, program, uid, gid) <
           std::tie(other.id, other.program, other.uid, other.gid);
  }
};

struct WarmProcess {
  LineChild child;
  Json::Value info;   // the description it was started from
  FileStamp program;  // its program file then
};

class WarmTable {
 public:
  // The process kept for `key`, if any; the caller owns it until Put. One
  // kept for the same plug-in and ids but another program (the plug-in
  // moved) ends: it would never be asked again.
  std::unique_ptr<WarmProcess> Take(const WarmKey& key) {
    std::unique_ptr<WarmProcess> process;
    std::vector<std::unique_ptr<WarmProcess>> moved;  // ended outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    // In a child forked from the process that started them, the processes
    // are the parent's: let go of this copy's descriptors and start anew.
    if (owner_ != getpid()) {
      for (auto& entry : processes_) entry.second->child.Abandon();
      processes_.clear();
      owner_ = getpid();
    }
    for (auto it = processes_.lower_bound(WarmKey{key.id, "", 0, 0});
         it != processes_.end() && it->first.id == key.id;) {
      if (it->first.uid != key.uid || it->first.gid != key.gid) {
        ++it;
        continue;
      }
      if (it->first.program == key.program) {
        process = std::move(it->second);
      } else {
        moved.push_back(std::move(it->second));
      }
      it = processes_.erase(it);
    }
    return process;
  }

  // Keeps `process` for `key`; when another caller kept one meanwhile, this
  // one ends, outside the lock (ending reaps).
  void Put(const WarmKey& key, std::unique_ptr<WarmProcess> process) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (owner_ != getpid()) {
        process->child.Abandon();
        return;
      }
      if (processes_.try_emplace(key, std::move(process)).second) return;
    }
    process.reset();
  }

 private:
  std::mutex mutex_;
  pid_t owner_ = getpid();
  std::map<WarmKey, std::unique_ptr<WarmProcess>> processes_;
};

// Never destroyed: a process that exits closes its ends of the pipes, and
// its warm children read the end of their input and exit. They are not
// killed through a parent-death signal: that follows the thread that
// started the child, not the process, and would end them with any short-
// lived calling thread.
WarmTable& Warm() {
  static WarmTable* table = new WarmTable();
  return *table;
}

bool ServesMany(const Json::Value& plugin) {
  const Json::Value* value = Member(plugin, "serves_many");
  return value != nullptr && value->isBool() && value->asBool();
}

// One request line to the plug-in's warm process, started when there is
// none, when it ended, or when its INFO or program changed. The failures
// and their log lines are those of a run, per answer.
int WarmLookup(const std::string& id, const Json::Value& plugin, const ChildOptions& options,
               const std::string& request, Json::Value& result) {
  const WarmKey key{id, options.program, geteuid(), getegid()};
  const FileStamp program = StampOf(options.program);
  std::unique_ptr<WarmProcess> process = Warm().Take(key);
  // Replaced on a reinstall: the program or its description changed.
  if (process != nullptr && (process->program != program || process->info != plugin)) {
    process.reset();
  }
  ChildResult run;
  for (bool retried = false;; retried = true) {
    const bool kept = process != nullptr && process->child.Ready();
    if (!kept) {
      process = std::make_unique<WarmProcess>();
      process->info = plugin;
      process->program = program;
      if (!process->child.Start(options, &run)) {
        syslog(LOG_ERR, "%s:%d plug-in %s %s: %s", "plugin", __LINE__, id.c_str(),
               velm_plugin::DescribeOutcome(run).c_str(), LastLine(run.err).c_str());
        return -1;
      }
    }
    bool unread = false;
    if (process->child.Exchange(request, &run, &unread)) break;
    // A kept process that ended without reading the request died while
    // idle (killed from outside, say); that is not this request's failure.
    if (kept && unread && !retried) continue;
    syslog(LOG_ERR, "%s:%d plug-in %s %s: %s", "plugin", __LINE__, id.c_str(),
           velm_plugin::DescribeOutcome(run).c_str(), LastLine(run.err).c_str());
    return -1;
  }

  Json::Value answer;
  std::string error;
  if (!velm_plugin::ParseJson(run.out, &answer, &error)) {
    // Its next answer cannot be trusted to be the next request's.
    syslog(LOG_ERR, "%s:%d plug-in %s answered with output that is not JSON: %s", "plugin",
           __LINE__, id.c_str(), OneLine(error).c_str());
    return -1;
  }
  if (process->child.running()) Warm().Put(key, std::move(process));
  // A plug-in that cannot answer says so in an object; an answer proper is
  // never one with "error".
  const Json::Value* failure = Member(answer, "error");
  if (failure != nullptr) {
    const std::string text =
        failure->isString() ? failure->asString() : OneLine(failure->toStyledString());
    syslog(LOG_ERR, "%s:%d plug-in %s answered with an error: %s", "plugin", __LINE__, id.c_str(),
           Printable(text).c_str());
    return -1;
  }
  result = std::move(answer);
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
  if (ServesMany(plugin)) return WarmLookup(id, plugin, options, input, result);
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
