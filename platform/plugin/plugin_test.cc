#include "velm/plugin.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "common/testing/syslog_recorder.h"
#include "common/testing/temp_dir.h"
#include "platform/plugin/plugin_config.h"

namespace VELMKinoro {
namespace {

using kinoro_testing::ClearSyslog;
using kinoro_testing::SyslogLines;
using kinoro_testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

Json::Value Parse(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

// The one line logged, or how many there were.
std::string OnlyLine() {
  const auto lines = SyslogLines();
  return lines.size() == 1 ? lines[0].text : std::to_string(lines.size()) + " lines";
}

// A plug-in folder and configuration file of the test's own.
class PluginEngineTest : public ::testing::Test {
 protected:
  PluginEngineTest() : folder_(dir_.File("plugins")), conf_(dir_.File("plugins.conf")) {
    kinoro_testing::MakeDirs(folder_);
    velm_plugin::SetPluginFolder(folder_);
    velm_plugin::SetPluginConfPath(conf_);
  }
  ~PluginEngineTest() override {
    velm_plugin::SetPluginFolder("");
    velm_plugin::SetPluginConfPath("");
  }

  // Installs plug-in `id`: a shell program, and an INFO made of the
  // defaults overridden by `info`.
  void AddPlugin(const std::string& id, const std::string& script, const std::string& info = "{}") {
    Json::Value full = Parse(R"({"types": ["movie"], "actions": ["similar"], "exec": "run"})");
    full["id"] = id;
    Json::Value extra = Parse(info);
    for (const std::string& key : extra.getMemberNames()) full[key] = extra[key];
    const std::string path = folder_ + "/" + id;
    ASSERT_TRUE(kinoro_testing::MakeDirs(path));
    ASSERT_TRUE(WriteFile(path + "/INFO", full.toStyledString()));
    ASSERT_TRUE(WriteFile(path + "/run", "#!/bin/sh\n" + script));
    ASSERT_EQ(chmod((path + "/run").c_str(), 0755), 0);
  }

  Json::Value Installed() {
    Json::Value plugins;
    EXPECT_EQ(VELMVideoLoadPluginFromFolder(plugins), 0);
    return plugins;
  }

  kinoro_testing::TempDir dir_;
  std::string folder_;
  std::string conf_;
};

TEST_F(PluginEngineTest, LoadsValidFoldersAndSkipsTheRestWithALogLine) {
  AddPlugin("good", "echo []", R"({"languages": ["enu"], "name": "Good", "timeout_s": 600})");
  const std::string huge((1 << 20) + 1, ' ');  // past the 1 MiB a file may have
  // In name order, the order of the log.
  const struct {
    const char* id;
    const char* info;  // INFO's whole text; nullptr: no INFO file
    const char* reason;
  } bad[] = {
      {"bad_action", R"({"id": "bad_action", "exec": "run", "types": [], "actions": [1]})",
       "\"actions\""},
      {"bad_languages",
       R"({"id": "bad_languages", "exec": "run", "types": [], "actions": [], "languages": ["a", 1]})",
       "\"languages\""},
      {"bad_name", R"({"id": "bad_name", "name": 1, "exec": "r", "types": [], "actions": []})",
       "\"name\""},
      {"exec_up", R"({"id": "exec_up", "exec": "..", "types": [], "actions": []})", "\"exec\""},
      {"huge", huge.c_str(), "INFO: file too large"},
      {"no_id", R"({"exec": "run", "types": [], "actions": []})", "no \"id\""},
      {"no_info", nullptr, "INFO: cannot open"},
      {"no_time", R"({"id": "no_time", "exec": "run", "types": [], "actions": [], "timeout_s": 0})",
       "\"timeout_s\""},
      {"no_types", R"({"id": "no_types", "exec": "run", "actions": []})", "\"types\""},
      {"not_object", "[1]", "not a JSON object"},
      {"other_id", R"({"id": "good", "exec": "run", "types": [], "actions": []})",
       "\"id\" is not the folder's name"},
  };
  for (const auto& c : bad) {
    ASSERT_TRUE(kinoro_testing::MakeDirs(folder_ + "/" + c.id));
    if (c.info != nullptr) {
      ASSERT_TRUE(WriteFile(folder_ + "/" + c.id + "/INFO", c.info));
    }
  }
  // Not folders: ignored without a word.
  ASSERT_TRUE(WriteFile(folder_ + "/README", "plug-ins live here"));
  ASSERT_TRUE(kinoro_testing::MakeDirs(folder_ + "/.hidden"));

  ClearSyslog();
  Json::Value plugins = Installed();
  EXPECT_THAT(plugins.getMemberNames(), ElementsAre("good"));
  char real[PATH_MAX];
  ASSERT_NE(realpath(folder_.c_str(), real), nullptr);
  EXPECT_EQ(plugins["good"]["path"].asString(), std::string(real) + "/good");
  // One line per skipped folder, saying which and why.
  const auto lines = SyslogLines();
  ASSERT_EQ(lines.size(), std::size(bad));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_THAT(lines[i].text, HasSubstr(std::string("/") + bad[i].id + ": " + bad[i].reason));
  }

  velm_plugin::SetPluginFolder(dir_.File("nowhere"));
  plugins = "stale";
  EXPECT_EQ(VELMVideoLoadPluginFromFolder(plugins), -1);
  EXPECT_EQ(plugins, Json::Value(Json::objectValue));
}

TEST_F(PluginEngineTest, ConfigurationAndPriorityLists) {
  for (const char* text : {"{\"priority\": ", "{} {}", "[]"}) {
    ASSERT_TRUE(WriteFile(conf_, text));
    ClearSyslog();
    Json::Value conf = "stale";
    EXPECT_EQ(VELMVideoLoadPluginFromConf(conf), -1) << text;
    EXPECT_EQ(conf, Json::Value(Json::objectValue));
    EXPECT_THAT(OnlyLine(), HasSubstr(conf_));
  }

  AddPlugin("english", "echo []", R"({"languages": ["enu", "eng"]})");
  AddPlugin("french", "echo []", R"({"languages": ["fre"]})");
  AddPlugin("any", "echo []");
  ASSERT_TRUE(WriteFile(conf_, R"({"priority": {"movie": {
      "similar": ["french", 7, "", "missing", "any", "english", "french"], "search": "any"}}})"));
  Json::Value conf;
  ASSERT_EQ(VELMVideoLoadPluginFromConf(conf), 0);
  const Json::Value before = conf;
  const struct {
    const char* type;
    const char* lang;
    const char* action;
    int ret;
    std::vector<std::string> ids;
  } cases[] = {
      // Non-strings, empty ids and repeats are dropped; without a language,
      // ids that name no installed plug-in stay (the caller skips them).
      {"movie", "", "similar", 0, {"french", "missing", "any", "english"}},
      // A language keeps installed plug-ins that list it or list none.
      {"movie", "enu", "similar", 0, {"any", "english"}},
      {"movie", "", "search", -1, {}},  // not a list
      {"tvshow", "", "similar", -1, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> ids = {"stale"};
    EXPECT_EQ(VELMVideoGetPluginPriority(conf, c.type, c.lang, c.action, ids), c.ret);
    EXPECT_EQ(ids, c.ids) << c.type << " " << c.lang << " " << c.action;
  }
  EXPECT_EQ(conf, before) << "the configuration was changed by reading it";
}

// The plug-in answers with what it received, where it ran and the
// environment it was started with (the shell adds PWD to its own).
constexpr char kEchoScript[] =
    "req=$(cat)\n"
    "printf '  [{\"request\": %s, \"cwd\": \"%s\", \"env\": \"%s\"}]  ' "
    "\"$req\" \"$(pwd)\" \"$(tr '\\0' ' ' < /proc/$$/environ)\"\n";

TEST_F(PluginEngineTest, LookupSendsTheRequestAndReturnsTheAnswer) {
  AddPlugin("echo", kEchoScript, R"({"actions": ["similar", "search"]})");
  const Json::Value plugin = Installed()["echo"];
  ClearSyslog();
  Json::Value result;
  // No configuration: empty settings, and a line about the missing file.
  ASSERT_EQ(
      VideoPluginLookup(plugin, "movie", "enu", Parse(R"({"tmdb_id": 550})"), result, 25, true), 0);
  EXPECT_THAT(OnlyLine(), HasSubstr("cannot load plug-in configuration"));
  EXPECT_EQ(result[0]["request"], Parse(R"({"action": "similar", "type": "movie", "lang": "enu",
                                            "input": {"tmdb_id": 550}, "limit": 25,
                                            "settings": {}})"));
  EXPECT_EQ(result[0]["cwd"].asString(), plugin["path"].asString());
  EXPECT_EQ(result[0]["env"].asString(), "PATH=/usr/bin:/bin ");

  // The plug-in's own settings only when asked for; an unsigned count
  // beyond int; an action named in the request.
  ASSERT_TRUE(WriteFile(conf_, R"({"settings": {"echo": {"api_key": "k"}, "other": {"x": 1}}})"));
  ASSERT_EQ(VideoPluginLookup(plugin, "movie", "", Parse(R"({"action": "search"})"), result,
                              ULONG_MAX, true),
            0);
  EXPECT_EQ(result[0]["request"]["settings"], Parse(R"({"api_key": "k"})"));
  EXPECT_EQ(result[0]["request"]["limit"].asUInt64(), ULONG_MAX);
  EXPECT_EQ(result[0]["request"]["action"].asString(), "search");
  ASSERT_EQ(VideoPluginLookup(plugin, "movie", "", Json::Value(), result, 1, false), 0);
  EXPECT_EQ(result[0]["request"]["settings"], Json::Value(Json::objectValue));
}

TEST_F(PluginEngineTest, FailedRunsAreNegativeWithOneLogLine) {
  const struct {
    const char* id;
    const char* script;
    const char* logged;
    const char* info = "{}";
  } cases[] = {
      {"exit_status", "echo '[{\"title\": \"x\"}]'; echo 'no api key' >&2; echo >&2; exit 1",
       "exited with status 1: no api key"},
      // What a plug-in echoes from a web service reaches the log without
      // its control bytes.
      {"control_bytes", "printf 'bad\\033[2Jkey\\rX' >&2; exit 3",
       "exited with status 3: bad\\x1b[2Jkey\\x0dX"},
      {"crash", "kill -SEGV $$", "killed by signal 11"},
      {"not_json", "echo 'Traceback (most recent call last):'", "not JSON"},
      {"two_values", "echo '[] []'", "not JSON"},
      {"over_cap", "yes '[1,' | head -c 5000000", "too much output"},
      // fd 9 is open in the test process without O_CLOEXEC (below).
      {"inherited_fd", "cat <&9 || exit 4", "exited with status 4"},
      {"not_executable", "", "could not be started: cannot run", R"({"exec": "INFO"})"},
      // The time-out ends the whole process group (the pid is checked below).
      {"sleepy", "sleep 60 & echo $! > child.pid\nsleep 60\n", "timed out",
       R"({"timeout_s": 0.5})"},
  };
  ASSERT_TRUE(WriteFile(dir_.File("secret"), "[{\"title\": \"leaked\"}]"));
  int fd = open(dir_.File("secret").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(dup2(fd, 9), 9);
  close(fd);
  for (const auto& c : cases) AddPlugin(c.id, c.script, c.info);
  const Json::Value plugins = Installed();
  for (const auto& c : cases) {
    ClearSyslog();
    Json::Value result = Parse("[1]");
    EXPECT_EQ(VideoPluginLookup(plugins[c.id], "movie", "enu", Json::Value(), result, 10, false),
              -1);
    EXPECT_TRUE(result.isNull()) << c.id;
    EXPECT_THAT(OnlyLine(), HasSubstr(std::string("plug-in ") + c.id + " "));
    EXPECT_THAT(OnlyLine(), HasSubstr(c.logged));
    EXPECT_EQ(OnlyLine().find('\n'), std::string::npos) << "one line, whatever the reader said";
  }
  close(9);
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a plug-in was left unreaped";
  const std::string grandchild = kinoro_testing::ReadFile(folder_ + "/sleepy/child.pid");
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

// What the plug-in's INFO does not name is refused without running it.
TEST_F(PluginEngineTest, RefusesOtherTypesAndActionsWithoutRunning) {
  const std::string marker = dir_.File("ran");
  AddPlugin("movies_only", "touch " + marker + "; echo '[]'");
  const Json::Value plugin = Installed()["movies_only"];
  Json::Value result;
  EXPECT_EQ(VideoPluginLookup(plugin, "tvshow", "enu", Json::Value(), result, 1, false), -1);
  EXPECT_EQ(VideoPluginLookup(plugin, "movie", "enu", Parse(R"({"action": "search"})"), result, 1,
                              false),
            -1);
  EXPECT_FALSE(kinoro_testing::PathExists(marker));
}

}  // namespace
}  // namespace VELMKinoro
