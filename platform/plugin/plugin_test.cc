#include "velm/plugin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/testing/syslog_recorder.h"
#include "common/testing/temp_dir.h"
#include "platform/plugin/plugin_config.h"

namespace VELMKinoro {
namespace {

using kinoro_testing::ClearSyslog;
using kinoro_testing::SyslogLines;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string error;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &error))
      << error << " in " << text;
  return value;
}

std::string AllSyslog() {
  std::string all;
  for (const auto& line : SyslogLines()) all += line.text + "\n";
  return all;
}

// A plug-in folder and configuration file of the test's own.
class PluginEngineTest : public ::testing::Test {
 protected:
  PluginEngineTest() : folder_(dir_.File("plugins")), conf_(dir_.File("plugins.conf")) {
    kinoro_testing::MakeDirs(folder_);
    velm_plugin::SetPluginFolder(folder_);
    velm_plugin::SetPluginConfPath(conf_);
    ClearSyslog();
  }
  ~PluginEngineTest() override {
    velm_plugin::SetPluginFolder("");
    velm_plugin::SetPluginConfPath("");
  }

  // Installs plug-in `id` with a shell program and an INFO made of the
  // defaults below overridden by `info`.
  void AddPlugin(const std::string& id, const std::string& script, const std::string& info = "{}") {
    Json::Value full = Parse(R"({"name": "Test", "types": ["movie"], "actions": ["similar"],
                                 "exec": "run", "timeout_s": 5})");
    full["id"] = id;
    Json::Value extra = Parse(info);
    for (const std::string& key : extra.getMemberNames()) full[key] = extra[key];
    const std::string path = folder_ + "/" + id;
    ASSERT_TRUE(kinoro_testing::MakeDirs(path));
    ASSERT_TRUE(kinoro_testing::WriteFile(path + "/INFO", full.toStyledString()));
    ASSERT_TRUE(kinoro_testing::WriteFile(path + "/run", "#!/bin/sh\n" + script));
    ASSERT_EQ(chmod((path + "/run").c_str(), 0755), 0);
  }

  void WriteConf(const std::string& text) { ASSERT_TRUE(kinoro_testing::WriteFile(conf_, text)); }

  Json::Value Installed() {
    Json::Value plugins;
    EXPECT_EQ(VELMVideoLoadPluginFromFolder(plugins), 0);
    return plugins;
  }

  // Looks up with plug-in `id` as the module does.
  int Lookup(const std::string& id, Json::Value* result, unsigned long limit = 10,
             const Json::Value& request = Parse(R"({"tmdb_id": 550})"), bool with_settings = true) {
    Json::Value plugins = Installed();
    EXPECT_TRUE(plugins.isMember(id));
    return VideoPluginLookup(plugins[id], "movie", "enu", request, *result, limit, with_settings);
  }

  kinoro_testing::TempDir dir_;
  std::string folder_;
  std::string conf_;
};

TEST_F(PluginEngineTest, LoadsValidFoldersAndSkipsTheRestWithALogLine) {
  AddPlugin("good", "echo []", R"({"languages": ["enu"]})");
  AddPlugin("also_good", "echo []", R"({"timeout_s": 0.5})");
  struct BadCase {
    const char* id;
    const char* info;  // INFO's whole text; nullptr: no INFO file
    const char* reason;
  };
  const BadCase bad[] = {
      {"no_info", nullptr, "INFO: cannot open"},
      {"not_json", "{\"id\": ", "INFO:"},
      {"not_object", "[1]", "not a JSON object"},
      {"other_id", R"({"id": "good", "exec": "run", "types": [], "actions": []})",
       "not the folder's name"},
      {"escaping_exec", R"({"id": "escaping_exec", "exec": "../run", "types": [], "actions": []})",
       "\"exec\""},
      {"no_types", R"({"id": "no_types", "exec": "run", "actions": []})", "\"types\""},
      {"bad_action", R"({"id": "bad_action", "exec": "run", "types": [], "actions": [1]})",
       "\"actions\""},
      {"bad_timeout",
       R"({"id": "bad_timeout", "exec": "run", "types": [], "actions": [], "timeout_s": 0})",
       "\"timeout_s\""},
      {"bad_languages",
       R"({"id": "bad_languages", "exec": "run", "types": [], "actions": [], "languages": "enu"})",
       "\"languages\""},
  };
  for (const BadCase& c : bad) {
    const std::string path = folder_ + "/" + c.id;
    ASSERT_TRUE(kinoro_testing::MakeDirs(path));
    if (c.info != nullptr) {
      ASSERT_TRUE(kinoro_testing::WriteFile(path + "/INFO", c.info));
    }
  }
  // Not folders: ignored without a word.
  ASSERT_TRUE(kinoro_testing::WriteFile(folder_ + "/README", "plug-ins live here"));
  ASSERT_TRUE(kinoro_testing::MakeDirs(folder_ + "/.hidden"));

  Json::Value plugins = Installed();
  EXPECT_THAT(plugins.getMemberNames(), ElementsAre("also_good", "good"));
  char real[PATH_MAX];
  ASSERT_NE(realpath(folder_.c_str(), real), nullptr);
  EXPECT_EQ(plugins["good"]["path"].asString(), std::string(real) + "/good");
  EXPECT_EQ(plugins["good"]["languages"][0].asString(), "enu");
  EXPECT_EQ(plugins["good"]["exec"].asString(), "run");

  // One line per skipped folder, saying which and why.
  const auto lines = SyslogLines();
  ASSERT_EQ(lines.size(), std::size(bad)) << AllSyslog();
  for (const BadCase& c : bad) {
    int found = 0;
    for (const auto& line : lines) {
      if (line.text.find(std::string("/") + c.id + ": ") == std::string::npos) continue;
      ++found;
      EXPECT_THAT(line.text, HasSubstr(c.reason));
      EXPECT_EQ(line.text.find('\n'), std::string::npos);
    }
    EXPECT_EQ(found, 1) << c.id;
  }
}

TEST_F(PluginEngineTest, MissingFolderGivesAnEmptyObject) {
  velm_plugin::SetPluginFolder(dir_.File("nowhere"));
  Json::Value plugins = "stale";
  EXPECT_EQ(VELMVideoLoadPluginFromFolder(plugins), -1);
  EXPECT_TRUE(plugins.isObject());
  EXPECT_TRUE(plugins.empty());
  EXPECT_EQ(SyslogLines().size(), 1u);
}

TEST_F(PluginEngineTest, ConfigurationLoad) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file
    int ret;
  };
  const Case cases[] = {
      {"missing", nullptr, -1},
      {"not JSON", "{\"priority\": ", -1},
      {"trailing text", "{} {}", -1},
      {"an array", "[]", -1},
      {"valid", R"({"priority": {}, "settings": {"tmdb": {"api_key": "k"}}})", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(conf_.c_str());
    if (c.text != nullptr) WriteConf(c.text);
    ClearSyslog();
    Json::Value conf = "stale";
    EXPECT_EQ(VELMVideoLoadPluginFromConf(conf), c.ret);
    EXPECT_TRUE(conf.isObject());
    if (c.ret == 0) {
      EXPECT_EQ(conf["settings"]["tmdb"]["api_key"].asString(), "k");
      EXPECT_THAT(SyslogLines(), IsEmpty());
    } else {
      EXPECT_TRUE(conf.empty());
      ASSERT_EQ(SyslogLines().size(), 1u);
      EXPECT_THAT(SyslogLines()[0].text, HasSubstr(conf_));
    }
  }
}

TEST_F(PluginEngineTest, PriorityLists) {
  WriteConf(R"({"priority": {
      "movie": {"similar": ["tmdb", 7, "", "unknown", "local", "tmdb"], "search": "tmdb"},
      "tvshow": []}})");
  Json::Value conf;
  ASSERT_EQ(VELMVideoLoadPluginFromConf(conf), 0);
  const Json::Value before = conf;

  struct Case {
    const char* type;
    const char* action;
    int ret;
    std::vector<std::string> ids;
  };
  // Non-strings, empty ids and repeats are dropped; ids that name no
  // installed plug-in stay (the caller skips them).
  const Case cases[] = {
      {"movie", "similar", 0, {"tmdb", "unknown", "local"}},
      {"movie", "search", -1, {}},  // not a list
      {"movie", "info", -1, {}},
      {"tvshow", "similar", -1, {}},
      {"video", "similar", -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.action);
    std::vector<std::string> ids = {"stale"};
    EXPECT_EQ(VELMVideoGetPluginPriority(conf, c.type, "", c.action, ids), c.ret);
    EXPECT_EQ(ids, c.ids);
  }
  EXPECT_EQ(conf, before) << "the configuration was changed by reading it";

  // A configuration that failed to load names nothing.
  Json::Value empty;
  std::vector<std::string> ids;
  EXPECT_EQ(VELMVideoGetPluginPriority(empty, "movie", "", "similar", ids), -1);
  Json::Value not_object = Json::Value(Json::arrayValue);
  EXPECT_EQ(VELMVideoGetPluginPriority(not_object, "movie", "", "similar", ids), -1);
  EXPECT_TRUE(ids.empty());
}

TEST_F(PluginEngineTest, LanguageNarrowsToInstalledPluginsThatDeclareIt) {
  AddPlugin("english", "echo []", R"({"languages": ["enu", "eng"]})");
  AddPlugin("french", "echo []", R"({"languages": ["fre"]})");
  AddPlugin("any", "echo []");
  WriteConf(R"({"priority": {"movie": {"similar": ["french", "missing", "any", "english"]}}})");
  Json::Value conf;
  ASSERT_EQ(VELMVideoLoadPluginFromConf(conf), 0);
  std::vector<std::string> ids;
  EXPECT_EQ(VELMVideoGetPluginPriority(conf, "movie", "enu", "similar", ids), 0);
  EXPECT_THAT(ids, ElementsAre("any", "english"));
  EXPECT_EQ(VELMVideoGetPluginPriority(conf, "movie", "ger", "similar", ids), 0);
  EXPECT_THAT(ids, ElementsAre("any"));
  EXPECT_EQ(VELMVideoGetPluginPriority(conf, "movie", "", "similar", ids), 0);
  EXPECT_THAT(ids, ElementsAre("french", "missing", "any", "english"));
}

// The plug-in answers with what it received, where it ran and the
// environment it was started with (the shell adds PWD to its own).
constexpr char kEchoScript[] =
    "req=$(cat)\n"
    "printf '[{\"title\": \"echo\", \"request\": %s, \"cwd\": \"%s\", \"env\": \"%s\"}]' "
    "\"$req\" \"$(pwd)\" \"$(tr '\\0' ' ' < /proc/$$/environ)\"\n";

TEST_F(PluginEngineTest, LookupSendsTheRequestAndReturnsTheAnswer) {
  AddPlugin("echo", kEchoScript, R"({"actions": ["similar", "search"]})");
  WriteConf(R"({"settings": {"echo": {"api_key": "secret"}, "other": {"x": 1}}})");

  Json::Value result;
  ASSERT_EQ(Lookup("echo", &result, 25), 0) << AllSyslog();
  ASSERT_TRUE(result.isArray());
  const Json::Value& request = result[0]["request"];
  EXPECT_EQ(request, Parse(R"({"action": "similar", "type": "movie", "lang": "enu",
                               "input": {"tmdb_id": 550}, "limit": 25,
                               "settings": {"api_key": "secret"}})"));
  EXPECT_EQ(result[0]["cwd"].asString(), Installed()["echo"]["path"].asString());
  EXPECT_EQ(result[0]["env"].asString(), "PATH=/usr/bin:/bin ");
  EXPECT_THAT(SyslogLines(), IsEmpty());

  // Without settings, an unsigned count beyond int, and an action named in
  // the request.
  ASSERT_EQ(
      Lookup("echo", &result, ULONG_MAX, Parse(R"({"action": "search", "title": "X"})"), false), 0);
  EXPECT_EQ(result[0]["request"]["settings"], Json::Value(Json::objectValue));
  EXPECT_EQ(result[0]["request"]["limit"].asUInt64(), ULONG_MAX);
  EXPECT_EQ(result[0]["request"]["action"].asString(), "search");

  // Any JSON value is an answer, blanks around it allowed.
  AddPlugin("object", "cat >/dev/null; echo '  {\"a\": [1, 2]}  '");
  EXPECT_EQ(Lookup("object", &result), 0);
  EXPECT_EQ(result, Parse(R"({"a": [1, 2]})"));
}

TEST_F(PluginEngineTest, MissingConfigurationStillRunsWithEmptySettings) {
  AddPlugin("echo", kEchoScript);
  Json::Value result;
  ASSERT_EQ(Lookup("echo", &result), 0);
  EXPECT_EQ(result[0]["request"]["settings"], Json::Value(Json::objectValue));
  // The missing file is worth a line; the lookup itself is not a failure.
  ASSERT_EQ(SyslogLines().size(), 1u);
  EXPECT_THAT(SyslogLines()[0].text, HasSubstr("cannot load plug-in configuration"));
}

TEST_F(PluginEngineTest, FailedRunsAreNegativeWithOneLogLine) {
  struct Case {
    const char* id;
    const char* script;
    const char* logged;
  };
  const Case cases[] = {
      {"exit_status", "echo '[{\"title\": \"x\"}]'; echo 'no api key' >&2; exit 1",
       "exited with status 1: no api key"},
      // What a plug-in echoes from a web service reaches the log without
      // its control bytes.
      {"control_bytes", "printf 'bad\\033[2Jkey\\rX' >&2; exit 3",
       "exited with status 3: bad\\x1b[2Jkey\\x0dX"},
      {"crash", "kill -SEGV $$", "killed by signal 11"},
      {"not_json", "echo 'Traceback (most recent call last):'", "not JSON"},
      {"no_output", "cat >/dev/null", "not JSON"},
      {"two_values", "echo '[] []'", "not JSON"},
      {"over_cap", "yes '[1,' | head -c 5000000", "too much output"},
      // fd 9 is open in the test process without O_CLOEXEC (below).
      {"inherited_fd", "cat <&9 || exit 4", "exited with status 4"},
  };
  kinoro_testing::WriteFile(dir_.File("secret"), "[{\"title\": \"leaked\"}]");
  int fd = open(dir_.File("secret").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(dup2(fd, 9), 9);
  close(fd);
  for (const Case& c : cases) AddPlugin(c.id, c.script);
  const Json::Value plugins = Installed();

  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ClearSyslog();
    Json::Value result = Parse("[1]");
    EXPECT_EQ(VideoPluginLookup(plugins[c.id], "movie", "enu", Parse(R"({"tmdb_id": 1})"), result,
                                10, false),
              -1);
    EXPECT_TRUE(result.isNull());
    ASSERT_EQ(SyslogLines().size(), 1u) << AllSyslog();
    EXPECT_THAT(SyslogLines()[0].text, HasSubstr(std::string("plug-in ") + c.id));
    EXPECT_THAT(SyslogLines()[0].text, HasSubstr(c.logged));
  }
  close(9);
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a plug-in was left unreaped";
}

TEST_F(PluginEngineTest, TimeOutReturnsAfterTheLimitAndLeavesNothingRunning) {
  const std::string pid_file = dir_.File("grandchild.pid");
  AddPlugin("sleepy", "sleep 60 & echo $! > " + pid_file + "\nsleep 60\n", R"({"timeout_s": 0.5})");
  WriteConf("{}");
  Json::Value result;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Lookup("sleepy", &result), -1);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
  ASSERT_EQ(SyslogLines().size(), 1u);
  EXPECT_THAT(SyslogLines()[0].text, HasSubstr("plug-in sleepy timed out"));

  const std::string grandchild = kinoro_testing::ReadFile(pid_file);
  ASSERT_FALSE(grandchild.empty());
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    std::ifstream stat("/proc/" + std::to_string(std::stoi(grandchild)) + "/stat");
    std::string line;
    gone = !std::getline(stat, line) || line.find(") Z ") != std::string::npos;
    if (!gone) usleep(10000);
  }
  EXPECT_TRUE(gone) << "the plug-in's child survived the time-out";
}

// Neither what the plug-in does not serve nor a description that did not
// come from the folder runs anything.
TEST_F(PluginEngineTest, RefusesWithoutRunning) {
  const std::string marker = dir_.File("ran");
  AddPlugin("movies_only", "touch " + marker + "; echo '[]'");
  const Json::Value good = Installed()["movies_only"];
  struct Case {
    const char* name;
    const char* type;
    const char* request;
    const char* member;  // replaced in the description by `value`
    Json::Value value;
  };
  const Case cases[] = {
      {"type not served", "tvshow", "{}", nullptr, Json::Value()},
      {"action not served", "movie", R"({"action": "search"})", nullptr, Json::Value()},
      {"no path", "movie", "{}", "path", Json::Value()},
      {"exec outside the folder", "movie", "{}", "exec", "../../bin/true"},
      {"no id", "movie", "{}", "id", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value plugin = good;
    if (c.member != nullptr) plugin[c.member] = c.value;
    Json::Value result;
    EXPECT_EQ(VideoPluginLookup(plugin, c.type, "enu", Parse(c.request), result, 1, false), -1);
  }
  Json::Value result;
  EXPECT_EQ(VideoPluginLookup(Json::Value(), "movie", "enu", Json::Value(), result, 1, false), -1);
  EXPECT_EQ(VideoPluginLookup(Json::Value("text"), "movie", "", Json::Value(), result, 1, false),
            -1);
  EXPECT_FALSE(kinoro_testing::PathExists(marker));
}

}  // namespace
}  // namespace VELMKinoro
