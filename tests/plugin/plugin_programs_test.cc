// The plug-in engine as the module drives it: first with scripted plug-ins
// for the engine's own work (INFO, configuration, the run, its failures),
// then with the real programs. The engine's limits on running a child are
// child_process_test.cc's.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/plugin/plugin_config.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/tmdb_match.h"
#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/temp_db.h"
#include "velm/plugin.h"

namespace {

using kinoro_testing::ClearSyslog;
using kinoro_testing::MakeDirs;
using kinoro_testing::ReadFile;
using kinoro_testing::SyslogLines;
using kinoro_testing::WriteFile;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using VELMKinoro::VideoPluginLookup;

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr);
  return value;
}

// `base` with the members of the JSON object `changes` replaced.
Json::Value With(Json::Value base, const std::string& changes) {
  const Json::Value replaced = ParseJson(changes);
  for (const std::string& key : replaced.getMemberNames()) base[key] = replaced[key];
  return base;
}

// The TMDb ids of the titles of an answer, in order ("-" where there is none).
std::string TmdbIds(const Json::Value& answer) {
  std::string ids;
  for (const Json::Value& title : answer) {
    const Json::Value& id = title["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"];
    ids += (ids.empty() ? "" : " ") + (id.isIntegral() ? id.asString() : "-");
  }
  return ids;
}

// The one line logged, or how many there were.
std::string OnlyLine() {
  const auto lines = SyslogLines();
  return lines.size() == 1 ? lines[0].text : std::to_string(lines.size()) + " lines";
}

// Waits (up to 2 s) until process `pid` is gone, or a zombie nobody reaped yet.
bool Ended(int pid) {
  const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  for (int i = 0; i < 200; ++i) {
    const std::string text = ReadFile(stat);
    if (text.empty() || text.find(") Z ") != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

// A plug-in folder and configuration file in a temporary directory, with the
// engine pointed at them.
class PluginFolderTest : public ::testing::Test {
 protected:
  PluginFolderTest() {
    MakeDirs(folder_);
    velm_plugin::SetPluginFolder(folder_);
    velm_plugin::SetPluginConfPath(conf_);
  }
  ~PluginFolderTest() override {
    velm_plugin::SetPluginFolder("");
    velm_plugin::SetPluginConfPath("");
  }

  // Installs plug-in `id`: a shell program, and an INFO made of the
  // defaults overridden by `info`.
  void AddPlugin(const std::string& id, const std::string& script, const std::string& info = "{}") {
    Json::Value full = ParseJson(R"({"types": ["movie"], "actions": ["similar"], "exec": "run"})");
    full["id"] = id;
    full = With(full, info);
    const std::string path = folder_ + "/" + id;
    ASSERT_TRUE(MakeDirs(path));
    ASSERT_TRUE(WriteFile(path + "/INFO", full.toStyledString()));
    ASSERT_TRUE(WriteFile(path + "/run", "#!/bin/sh\n" + script));
    ASSERT_EQ(chmod((path + "/run").c_str(), 0755), 0);
  }

  Json::Value Installed() {
    Json::Value plugins;
    EXPECT_EQ(VELMKinoro::VELMVideoLoadPluginFromFolder(plugins), 0);
    return plugins;
  }

  kinoro_testing::TempDir dir_;
  const std::string folder_ = dir_.File("plugins");
  const std::string conf_ = dir_.File("plugins.conf");
};

TEST_F(PluginFolderTest, LoadsValidFoldersAndSkipsTheRestWithALogLine) {
  AddPlugin("good", "echo []", R"({"languages": ["enu"], "name": "Good", "timeout_s": 600})");
  // In name order, the order of the log.
  const struct {
    const char* id;
    const char* info;  // changes to a valid INFO
    const char* reason;
  } bad[] = {
      {"bad_languages", R"({"languages": ["a", 1]})", "\"languages\""},
      {"bad_name", R"({"name": 1})", "\"name\""},
      {"bad_requires", R"({"requires_settings": "api_key"})", "\"requires_settings\""},
      {"exec_up", R"({"exec": ".."})", "\"exec\""},
      {"huge", "{}", "INFO: file too large"},  // written below
      {"no_id", R"({"id": null})", "no \"id\""},
      {"no_info", "{}", "INFO: cannot open"},  // removed below
      {"no_time", R"({"timeout_s": 0})", "\"timeout_s\""},
      {"no_types", R"({"types": null})", "\"types\""},
      {"not_object", "{}", "not a JSON object"},  // written below
      {"other_id", R"({"id": "good"})", "\"id\" is not the folder's name"},
  };
  for (const auto& c : bad) AddPlugin(c.id, "", c.info);
  ASSERT_TRUE(WriteFile(folder_ + "/huge/INFO", std::string((1 << 20) + 1, ' ')));  // past 1 MiB
  ASSERT_EQ(unlink((folder_ + "/no_info/INFO").c_str()), 0);
  ASSERT_TRUE(WriteFile(folder_ + "/not_object/INFO", "[1]"));
  // Not folders: ignored without a word.
  ASSERT_TRUE(WriteFile(folder_ + "/README", "plug-ins live here"));
  ASSERT_TRUE(MakeDirs(folder_ + "/.hidden"));

  ClearSyslog();
  Json::Value plugins = Installed();
  EXPECT_EQ(plugins.getMemberNames(), Json::Value::Members{"good"});
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
  EXPECT_EQ(VELMKinoro::VELMVideoLoadPluginFromFolder(plugins), -1);
  EXPECT_EQ(plugins, Json::Value(Json::objectValue));
}

TEST_F(PluginFolderTest, ConfigurationAndPriorityLists) {
  for (const char* text : {"{\"priority\": ", "[]"}) {
    ASSERT_TRUE(WriteFile(conf_, text));
    ClearSyslog();
    Json::Value conf = "stale";
    EXPECT_EQ(VELMKinoro::VELMVideoLoadPluginFromConf(conf), -1) << text;
    EXPECT_EQ(conf, Json::Value(Json::objectValue));
    EXPECT_THAT(OnlyLine(), HasSubstr(conf_));
  }

  AddPlugin("english", "echo []", R"({"languages": ["enu", "eng"]})");
  AddPlugin("french", "echo []", R"({"languages": ["fre"]})");
  AddPlugin("any", "echo []");
  ASSERT_TRUE(WriteFile(conf_, R"({"priority": {"movie": {
      "similar": ["french", 7, "", "missing", "any", "english", "french"], "search": "any"}}})"));
  Json::Value conf;
  ASSERT_EQ(VELMKinoro::VELMVideoLoadPluginFromConf(conf), 0);
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
    EXPECT_EQ(VELMKinoro::VELMVideoGetPluginPriority(conf, c.type, c.lang, c.action, ids), c.ret);
    EXPECT_EQ(ids, c.ids) << c.type << " " << c.lang << " " << c.action;
  }
}

// The plug-in answers with what it received, where it ran and the
// environment it was started with (the shell adds PWD to its own).
constexpr char kEchoScript[] =
    "req=$(cat)\n"
    "printf '  [{\"request\": %s, \"cwd\": \"%s\", \"env\": \"%s\"}]  ' "
    "\"$req\" \"$(pwd)\" \"$(tr '\\0' ' ' < /proc/$$/environ)\"\n";

TEST_F(PluginFolderTest, LookupSendsTheRequestAndReturnsTheAnswer) {
  AddPlugin("echo", kEchoScript);
  const Json::Value plugin = Installed()["echo"];
  ClearSyslog();
  Json::Value result;
  // No configuration: empty settings, and a line about the missing file.
  ASSERT_EQ(
      VideoPluginLookup(plugin, "movie", "enu", ParseJson(R"({"tmdb_id": 550})"), result, 25, true),
      0);
  EXPECT_THAT(OnlyLine(), HasSubstr("cannot load plug-in configuration"));
  EXPECT_EQ(result[0]["request"], ParseJson(R"({"action": "similar", "type": "movie", "lang": "enu",
      "input": {"tmdb_id": 550}, "limit": 25, "settings": {}})"));
  EXPECT_EQ(result[0]["cwd"].asString(), plugin["path"].asString());
  EXPECT_EQ(result[0]["env"].asString(), "PATH=/usr/bin:/bin ");

  // The plug-in's own settings only when asked for; an unsigned count
  // beyond int.
  ASSERT_TRUE(WriteFile(conf_, R"({"settings": {"echo": {"api_key": "k"}, "other": {"x": 1}}})"));
  ASSERT_EQ(VideoPluginLookup(plugin, "movie", "", Json::Value(), result, ULONG_MAX, true), 0);
  EXPECT_EQ(result[0]["request"]["settings"], ParseJson(R"({"api_key": "k"})"));
  EXPECT_EQ(result[0]["request"]["limit"].asUInt64(), ULONG_MAX);
  ASSERT_EQ(VideoPluginLookup(plugin, "movie", "", Json::Value(), result, 1, false), 0);
  EXPECT_EQ(result[0]["request"]["settings"], Json::Value(Json::objectValue));
}

// A plug-in whose INFO names settings it needs is not started without them
// (tmdb's own INFO is in the failure table below), and that is said once per
// plug-in and settings, not once per lookup.
TEST_F(PluginFolderTest, AnUnconfiguredPluginIsSkippedWithoutRunning) {
  AddPlugin("keyed", "touch ran; echo []", R"({"requires_settings": ["api_key"]})");
  ClearSyslog();
  for (const char* settings : {"{}", "{}", R"({"api_key": ""})", R"({"api_key": "k"})"}) {
    ASSERT_TRUE(WriteFile(conf_, std::string(R"({"settings": {"keyed": )") + settings + "}}"));
    Json::Value result;
    VideoPluginLookup(Installed()["keyed"], "movie", "", Json::Value(), result, 1, true);
  }
  EXPECT_EQ(2u, SyslogLines().size());
  EXPECT_TRUE(kinoro_testing::PathExists(folder_ + "/keyed/ran"));  // with a key, only
}

TEST_F(PluginFolderTest, FailedRunsAreNegativeWithOneLogLine) {
  const struct {
    const char* id;
    const char* script;
    const char* logged;
    const char* info = "{}";
  } cases[] = {
      // The last line of the error output, which may echo a web service,
      // without its control bytes.
      {"exit_status", "echo '[{\"title\": \"x\"}]'; printf 'bad\\033[2Jkey\\rX\\n\\n' >&2; exit 3",
       "exited with status 3: bad\\x1b[2Jkey\\x0dX"},
      {"crash", "kill -SEGV $$", "killed by signal 11"},
      {"not_json", "echo 'Traceback (most recent call last):'", "not JSON"},
      {"two_values", "echo '[] []'", "not JSON"},
      {"over_cap", "yes '[1,' | head -c 5000000", "too much output"},
      // fd 9 is open in the test process without O_CLOEXEC (below).
      {"inherited_fd", "cat <&9 || exit 4", "exited with status 4"},
      {"not_executable", "", "could not be started: cannot run", R"({"exec": "INFO"})"},
      // What the INFO does not name is refused without running the program.
      {"series_only", "exit 5", "does not serve movie similar", R"({"types": ["tvshow"]})"},
      {"search_only", "exit 5", "does not serve movie similar", R"({"actions": ["search"]})"},
      // The time-out ends the whole process group (the pid is checked below).
      {"sleepy", "sleep 60 & echo $! > child.pid\nsleep 60\n", "timed out",
       R"({"timeout_s": 0.5})"},
  };
  ASSERT_TRUE(WriteFile(dir_.File("secret"), "[{\"title\": \"leaked\"}]"));
  const int fd = open(dir_.File("secret").c_str(), O_RDONLY);
  ASSERT_TRUE(fd >= 0 && dup2(fd, 9) == 9 && close(fd) == 0);
  for (const auto& c : cases) AddPlugin(c.id, c.script, c.info);
  const Json::Value plugins = Installed();
  for (const auto& c : cases) {
    ClearSyslog();
    Json::Value result = ParseJson("[1]");
    EXPECT_EQ(VideoPluginLookup(plugins[c.id], "movie", "enu", Json::Value(), result, 10, false),
              -1);
    EXPECT_TRUE(result.isNull()) << c.id;
    EXPECT_THAT(OnlyLine(), AllOf(HasSubstr(std::string("plug-in ") + c.id + " "),
                                  HasSubstr(c.logged), Not(HasSubstr("\n"))));
  }
  close(9);
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a plug-in was left unreaped";
  const std::string pid = ReadFile(folder_ + "/sleepy/child.pid");
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(Ended(std::stoi(pid))) << "the plug-in's child survived the time-out";
}

// A plug-in that serves many requests, by the word in the request's "do":
// its pid as the one title, its ids, or one of the ways to fail.
constexpr char kWarmScript[] =
    "while read -r req; do\n"
    "  case \"$req\" in\n"
    "    *crash*) kill -SEGV $$ ;;\n"
    "    *stall*) sleep 60 ;;\n"
    "    *flood*) head -c 5000000 /dev/zero | tr '\\0' x; echo ;;\n"
    "    *garbage*) echo 'Traceback (most recent call last):' ;;\n"
    "    *refuse*) echo '{\"error\": \"no such\\tmovie\"}' ;;\n"
    "    *twice*) echo \"[{\\\"title\\\": \\\"$$\\\"}]\"; echo '[{\"title\": \"stale\"}]' ;;\n"
    "    *who*) echo \"[{\\\"title\\\": \\\"$(id -u) $(id -g)\\\"}]\" ;;\n"
    // Answers, then ends before it reads the next request.
    "    *linger*) echo \"[{\\\"title\\\": \\\"$$\\\"}]\"; sleep 0.3; exit 0 ;;\n"
    "    *) echo \"[{\\\"title\\\": \\\"$$\\\"}]\" ;;\n"
    "  esac\n"
    "done\n";

Json::Value Do(const std::string& what) { return ParseJson(R"({"do": ")" + what + "\"}"); }

// The one title of a lookup that must succeed without a log line.
std::string WarmTitle(const Json::Value& plugin, const std::string& what) {
  ClearSyslog();
  Json::Value result;
  EXPECT_EQ(VideoPluginLookup(plugin, "movie", "enu", Do(what), result, 10, false), 0)
      << OnlyLine();
  EXPECT_THAT(SyslogLines(), IsEmpty()) << what;
  return result[0]["title"].asString();
}

int WarmPid(const Json::Value& plugin) {
  const std::string title = WarmTitle(plugin, "ok");
  return title.empty() ? -1 : std::stoi(title);
}

TEST_F(PluginFolderTest, AWarmPluginServesManyLookupsAndIsReplacedAfterAFailure) {
  AddPlugin("warm", kWarmScript, R"({"serves_many": true, "timeout_s": 0.5})");
  const Json::Value plugin = Installed()["warm"];
  const struct {
    const char* request;
    const char* logged;
    bool kept;  // the same process answers next
  } cases[] = {
      {"crash", "killed by signal 11", false},
      {"stall", "timed out", false},
      {"flood", "wrote too much output", false},
      {"garbage", "answered with output that is not JSON", false},
      // A plug-in that cannot answer says so, and stays.
      {"refuse", "answered with an error: no such\\x09movie", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const int pid = WarmPid(plugin);
    EXPECT_EQ(WarmPid(plugin), pid);
    ClearSyslog();
    Json::Value result = ParseJson("[1]");
    EXPECT_EQ(VideoPluginLookup(plugin, "movie", "enu", Do(c.request), result, 10, false), -1);
    EXPECT_TRUE(result.isNull());
    EXPECT_THAT(OnlyLine(), AllOf(HasSubstr("plug-in warm "), HasSubstr(c.logged)));
    EXPECT_EQ(WarmPid(plugin) == pid, c.kept);
    if (!c.kept) {
      EXPECT_FALSE(kinoro_testing::PathExists("/proc/" + std::to_string(pid))) << "not reaped";
    }
  }
}

// An end that came while the process had no request is not a lookup's
// failure: the lookup runs on a new process without a word.
TEST_F(PluginFolderTest, AWarmPluginThatEndedWhileIdleIsReplacedUnseen) {
  AddPlugin("warm", kWarmScript, R"({"serves_many": true})");
  const Json::Value plugin = Installed()["warm"];
  int pid = WarmPid(plugin);
  // Killed from outside: seen ended before the request, or maybe only after.
  for (bool wait_for_end : {true, false}) {
    // Never -1 or 0: as root, kill(-1) ends every process on the machine.
    ASSERT_GT(pid, 1) << "no warm process";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    if (wait_for_end) Ended(pid);
    const int next = WarmPid(plugin);
    EXPECT_NE(next, pid);
    pid = next;
  }
  // Alive when the request was written, ended without reading it.
  const std::string lingering = WarmTitle(plugin, "linger");
  EXPECT_NE(std::to_string(WarmPid(plugin)), lingering);
  // Two answers to one request: the second is no later request's.
  const std::string twice = WarmTitle(plugin, "twice");
  usleep(20000);  // both lines written
  const std::string next = WarmTitle(plugin, "ok");
  EXPECT_NE(next, "stale");
  EXPECT_NE(next, twice);
}

// A reinstall (a new program, a changed INFO, another folder) replaces the
// warm process, and the old one ends.
TEST_F(PluginFolderTest, AWarmPluginIsReplacedWhenReinstalled) {
  AddPlugin("warm", kWarmScript, R"({"serves_many": true})");
  int pid = WarmPid(Installed()["warm"]);
  EXPECT_EQ(WarmPid(Installed()["warm"]), pid);
  const std::string run = folder_ + "/warm/run";
  const std::string info = folder_ + "/warm/INFO";
  const std::function<void()> changes[] = {
      [&] {
        ASSERT_TRUE(WriteFile(run + ".new", std::string("#!/bin/sh\n# 2.0\n") + kWarmScript));
        ASSERT_EQ(chmod((run + ".new").c_str(), 0755), 0);
        ASSERT_EQ(rename((run + ".new").c_str(), run.c_str()), 0);
      },
      [&] {
        ASSERT_TRUE(WriteFile(
            info, With(ParseJson(ReadFile(info)), R"({"timeout_s": 9})").toStyledString()));
      },
      [&] {
        ASSERT_EQ(rename(folder_.c_str(), dir_.File("moved").c_str()), 0);
        velm_plugin::SetPluginFolder(dir_.File("moved"));
      },
  };
  for (const auto& change : changes) {
    change();
    const int next = WarmPid(Installed()["warm"]);
    EXPECT_NE(next, pid);
    EXPECT_FALSE(kinoro_testing::PathExists("/proc/" + std::to_string(pid))) << "still there";
    pid = next;
  }
}

// A process forked from one that holds warm processes starts its own and
// leaves the parent's alone; when it exits, its own warm process ends too.
TEST_F(PluginFolderTest, AForkedCallerDoesNotShareWarmProcesses) {
  AddPlugin("warm", kWarmScript, R"({"serves_many": true})");
  const Json::Value plugin = Installed()["warm"];
  const int pid = WarmPid(plugin);
  const std::string reported = dir_.File("fork_pid");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Json::Value result;
    VideoPluginLookup(plugin, "movie", "enu", Do("ok"), result, 10, false);
    _exit(WriteFile(reported, result[0]["title"].asString()) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const std::string fork_pid = ReadFile(reported);
  ASSERT_FALSE(fork_pid.empty()) << "the fork's lookup failed";
  EXPECT_NE(fork_pid, std::to_string(pid)) << "the fork used the parent's";
  EXPECT_EQ(WarmPid(plugin), pid);
  EXPECT_TRUE(Ended(std::stoi(fork_pid))) << "the fork's warm process outlived it";
}

// A warm process answers only for the ids it was started with: a worker
// calls the engine as root in the module's run-as-root window.
TEST_F(PluginFolderTest, EachSetOfIdsHasItsOwnWarmProcess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // the folder, for nobody
  AddPlugin("warm", kWarmScript, R"({"serves_many": true})");
  const Json::Value plugin = Installed()["warm"];
  const int root_pid = WarmPid(plugin);
  EXPECT_EQ(WarmTitle(plugin, "who"), "0 0");
  ASSERT_EQ(setresgid(-1, 65534, -1), 0);
  ASSERT_EQ(setresuid(-1, 65534, -1), 0);
  const int user_pid = WarmPid(plugin);
  const std::string user_ids = WarmTitle(plugin, "who");
  const int user_pid_again = WarmPid(plugin);
  ASSERT_EQ(setresuid(-1, 0, -1), 0);
  ASSERT_EQ(setresgid(-1, 0, -1), 0);
  EXPECT_NE(user_pid, root_pid);
  EXPECT_EQ(user_pid_again, user_pid);
  EXPECT_EQ(user_ids, "65534 65534");
  EXPECT_EQ(WarmPid(plugin), root_pid);
}

// Files older than a second are kept parsed between calls; a change to one
// is still seen, also in place and at the same size.
TEST_F(PluginFolderTest, SettledFilesAreReadAgainWhenTheyChange) {
  AddPlugin("a", "echo []", R"({"name": "one"})");
  ASSERT_TRUE(WriteFile(conf_, R"({"settings": {"a": {"k": 1}}})"));
  int age = 100;
  auto settle = [&] {
    const struct timespec old[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    for (const std::string& path : {folder_, folder_ + "/a", folder_ + "/a/INFO", conf_}) {
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0) << path;
    }
    --age;
  };
  auto loaded = [&] {
    Json::Value conf;
    EXPECT_EQ(VELMKinoro::VELMVideoLoadPluginFromConf(conf), 0);
    const Json::Value plugins = Installed();
    std::string text =
        conf["settings"]["a"]["k"].asString() + " " + plugins["a"]["name"].asString();
    for (const std::string& id : plugins.getMemberNames()) text += " " + id;
    return text;
  };
  // Just written: read again even when a rewrite leaves the size and the
  // time stamp (one clock tick) as they were.
  EXPECT_EQ(loaded(), "1 one a");
  ASSERT_TRUE(WriteFile(conf_, R"({"settings": {"a": {"k": 3}}})"));
  EXPECT_EQ(loaded(), "3 one a");
  ASSERT_TRUE(WriteFile(conf_, R"({"settings": {"a": {"k": 1}}})"));
  settle();
  EXPECT_EQ(loaded(), "1 one a");
  EXPECT_EQ(loaded(), "1 one a");
  ASSERT_TRUE(WriteFile(conf_, R"({"settings": {"a": {"k": 2}}})"));
  settle();
  EXPECT_EQ(loaded(), "2 one a");
  AddPlugin("a", "echo []", R"({"name": "two"})");
  settle();
  EXPECT_EQ(loaded(), "2 two a");
  AddPlugin("b", "echo []");
  EXPECT_EQ(loaded(), "2 two a b");
}

// Scores against Alien (348), with genre 1, tag 1.5, actor 1, director 2
// and collection 4: Aliens 9; Prometheus 7; Blade Runner 3; Moon, Gravity,
// Sunshine and Solaris 2.5 (rating 7.6 first, then 7.2 by movie id, then no
// rating); Working Girl and The Terminator 1 (by rating). Notting Hill shares
// nothing; Home Video has no TMDb id; the second Alien is the movie itself
// and the second Blade Runner the same title again.
constexpr char kLibrary[] = R"({"movies": [
  {"id": 1, "library_id": 1, "title": "Alien", "tmdb_id": 348, "rating": 8.1, "genres": ["Horror", "SF"],
   "directors": ["Ridley Scott"], "actors": ["Sigourney Weaver"], "tags": ["space", "alien"],
   "collection": "Alien Collection"},
  {"id": 2, "library_id": 1, "title": "Aliens", "tmdb_id": 679, "imdb_id": "tt0090605",
   "rating": 7.9, "original_available": "1986-07-18", "summary": "This time it's war.",
   "genres": ["Action", "SF"], "directors": ["James Cameron"], "actors": ["Sigourney Weaver"],
   "tags": ["space", "alien"], "collection": "Alien Collection"},
  {"id": 3, "library_id": 1, "title": "Blade Runner", "tmdb_id": 78, "rating": 7.9,
   "genres": ["SF", "Drama"], "directors": ["Ridley Scott"]},
  {"id": 4, "library_id": 1, "title": "The Terminator", "tmdb_id": 218, "rating": 7.6,
   "genres": ["Action", "SF"], "directors": ["James Cameron"]},
  {"id": 5, "library_id": 1, "title": "Gravity", "tmdb_id": 49047, "rating": 7.2,
   "genres": ["SF"], "tags": ["space"]},
  {"id": 6, "library_id": 1, "title": "Sunshine", "tmdb_id": 1272, "rating": 7.2,
   "genres": ["SF"], "tags": ["space"]},
  {"id": 7, "library_id": 1, "title": "Moon", "tmdb_id": 17431, "rating": 7.6, "genres": ["SF"],
   "tags": ["space"]},
  {"id": 8, "library_id": 1, "title": "Notting Hill", "tmdb_id": 509, "genres": ["Romance"]},
  {"id": 9, "library_id": 1, "title": "Prometheus", "tmdb_id": 70981, "genres": ["SF"],
   "directors": ["Ridley Scott"], "collection": "Alien Collection"},
  {"id": 10, "library_id": 2, "title": "Alien", "tmdb_id": 348, "rating": 8.1, "genres": ["SF"],
   "tags": ["alien"]},
  {"id": 11, "library_id": 2, "title": "Blade Runner", "tmdb_id": 78, "rating": 7.9,
   "genres": ["SF"], "directors": ["Ridley Scott"]},
  {"id": 12, "library_id": 1, "title": "Solaris", "tmdb_id": 593, "genres": ["SF"],
   "tags": ["space"]},
  {"id": 13, "library_id": 1, "title": "Working Girl", "tmdb_id": 3525, "rating": 9.0,
   "actors": ["Sigourney Weaver"]},
  {"id": 14, "library_id": 1, "title": "Home Video", "genres": ["SF"], "directors": ["Ridley Scott"]}],
 "libraries": [{"id": 1, "title": "Films", "type": "movie"},
               {"id": 2, "title": "Archive", "type": "movie"}]})";

// The real programs: local_similar on a database made by kinoro-db from
// kLibrary, and tmdb, when the recorded TMDb answers are there, against a
// stand-in for TMDb's web API on 127.0.0.1 (a free port):
//   /3/movie/550/similar          the recorded top-rated list in pages of
//                                 kPageSize
//   /3/movie/550/recommendations  the recorded titles kRecommended, so that
//                                 a third of /similar's list repeats them
//   /3/movie/<id>/<list>          the recorded "not found" (HTTP 404), broken
//                                 answers for the ids 9003 and 9004, and for
//                                 9005 three recommendations while /similar
//                                 is not found
//   /3/search/movie               the recorded details as the one hit when
//                                 "query" holds its title and "year", if
//                                 any, is its year, else no hit
//   /3/movie/550                  the recorded details with credits and
//                                 external ids in TMDb's shape (kCredits)
//   /3/search/tv, /3/tv/550       the same as a show's ("name",
//                                 "first_air_date")
//   /img/<name>                   a small JPEG
//   a key but "good-key"          the recorded "invalid API key" (HTTP 401)
//   anything while failing_       HTTP 500
// tmdb keeps its answer cache in the test's folder.
// Credits out of billing order, a repeated actor and crew that is no director.
constexpr char kCredits[] = R"({"credits": {"cast": [
    {"name": "Helena Bonham Carter", "order": 2}, {"name": "Edward Norton", "order": 0},
    {"name": "Brad Pitt", "order": 1}, {"name": "Edward Norton", "order": 3}],
  "crew": [{"name": "Jim Uhls", "job": "Screenplay"}, {"name": "David Fincher", "job": "Director"}]},
  "external_ids": {"imdb_id": "tt0137523"}})";

class ProgramsTest : public PluginFolderTest {
 protected:
  static constexpr int kPageSize = 7;  // 20 recorded titles: pages of 7, 7 and 6
  // Recommended: the recorded titles 12 to 19, then 0 to 3 (pages of 7 and 5).
  static constexpr std::pair<int, int> kRecommended[] = {{12, 20}, {0, 4}};

  void SetUp() override {
    Import(kLibrary);
    working_["local_similar"] = ParseJson(R"({"database": ")" + db_ + R"("})");
    Install("local_similar", LOCAL_SIMILAR_PROGRAM);

    const std::string dir = TMDB_SAMPLES_DIR "/tmdb-";
    top_rated_ = ParseJson(ReadFile(dir + "movie-top-rated.json"))["results"];
    details_ = ParseJson(ReadFile(dir + "movie-details.json"));
    invalid_key_ = ReadFile(dir + "invalid-api-key.json");
    not_found_ = ReadFile(dir + "resource-not-found.json");
    if (!top_rated_.isArray() || !details_.isObject()) return;  // no tmdb
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0,
                               nullptr, nullptr, &Handle, this, MHD_OPTION_SOCK_ADDR, &addr,
                               MHD_OPTION_END);
    ASSERT_NE(daemon_, nullptr);
    const int port = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    // The address with trailing slashes, which are dropped.
    working_["tmdb"] = ParseJson(R"({"api_key": "good-key", "language": "fr-FR", "base_url":
        "http://127.0.0.1:)" + std::to_string(port) +
                                 R"(/3//"})");
    working_["tmdb"]["cache_path"] = cache_;
    working_["tmdb"]["image_base_url"] = "http://127.0.0.1:" + std::to_string(port) + "/img";
    Install("tmdb", TMDB_PROGRAM);
  }
  void TearDown() override {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  }

  // Imports `document` into the database with kinoro-db.
  void Import(const std::string& document) {
    ASSERT_TRUE(WriteFile(dir_.File("import.json"), document));
    const std::string command =
        std::string(KINORO_DB_PROGRAM) + " --db " + db_ + " import " + dir_.File("import.json");
    ASSERT_EQ(0, system(command.c_str()));
  }

  // Installs a built program as plug-in `id` with its INFO and settings.
  void Install(const std::string& id, const std::string& program) {
    const std::string folder = folder_ + "/" + id;
    const std::string info = ReadFile(std::string(PLUGINS_SOURCE_DIR) + "/" + id + "/INFO");
    ASSERT_TRUE(MakeDirs(folder));
    ASSERT_TRUE(WriteFile(folder + "/INFO", info));
    ASSERT_EQ(
        0, symlink(program.c_str(), (folder + "/" + ParseJson(info)["exec"].asString()).c_str()));
    Settings(id, "{}");
  }

  // Plug-in `id`'s working settings with the members of `changes` replaced,
  // written as its settings.
  void Settings(const std::string& id, const std::string& changes) {
    Json::Value conf = ParseJson(ReadFile(conf_));
    conf["settings"][id] = With(working_[id], changes);
    ASSERT_TRUE(WriteFile(conf_, conf.toStyledString()));
  }

  // Runs plug-in `id` as the module does (type "movie", language "enu",
  // with settings); the lookup's return value.
  int Lookup(const std::string& id, const std::string& request, unsigned long limit,
             Json::Value* result) {
    const Json::Value plugins = Installed();
    ClearSyslog();
    return VideoPluginLookup(plugins[id], "movie", "enu", ParseJson(request), *result, limit, true);
  }

  // The ids of the recorded titles in the ranges [first, end), in order.
  std::string RecordedIds(std::vector<std::pair<int, int>> ranges) {
    std::string ids;
    for (const auto& [first, end] : ranges) {
      for (int i = first; i < end; ++i)
        ids += (ids.empty() ? "" : " ") + top_rated_[i]["id"].asString();
    }
    return ids;
  }

  // "path?name=value&..." of the requests since the last call, by name.
  std::vector<std::string> TakeRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(requests_, {});
  }

  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char*,
                           const char*, const char*, size_t*, void**) {
    Args args;
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* args, MHD_ValueKind, const char* key, const char* value) {
          (*static_cast<Args*>(args))[key] = value ? value : "";
          return MHD_YES;
        },
        &args);
    auto [status, body] = static_cast<ProgramsTest*>(cls)->Answer(url, args);
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
  }

  using Args = std::map<std::string, std::string>;
  std::pair<unsigned, std::string> Answer(const std::string& path, Args args) {
    std::string line = path;
    for (const auto& [name, value] : args) line += (line == path ? "?" : "&") + name + "=" + value;
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(line);
    if (failing_) return {500, "{}"};
    if (path.rfind("/img/", 0) == 0) return {200, videodb_test::FakeJpeg(2000, path.size())};
    if (args["api_key"] != "good-key") return {401, invalid_key_};
    Json::Value body(Json::objectValue);
    body["results"] = Json::Value(Json::arrayValue);
    body["total_pages"] = 1;
    Json::Value show = details_;
    show.removeMember("title", &show["name"]);
    show.removeMember("release_date", &show["first_air_date"]);
    show.removeMember("original_title");
    if (path == "/3/search/movie" || path == "/3/search/tv") {
      // As TMDb: a year, when given, must be the release's own.
      const std::string year = args[path == "/3/search/tv" ? "first_air_date_year" : "year"];
      if (strcasestr(args["query"].c_str(), details_["title"].asCString()) != nullptr &&
          (year.empty() || details_["release_date"].asString().rfind(year, 0) == 0)) {
        body["results"].append(path == "/3/search/tv" ? show : details_);
      }
      return {200, body.toStyledString()};
    }
    if (path == "/3/tv/550" && args["append_to_response"] == "credits,external_ids") {
      return {200, With(show, kCredits).toStyledString()};
    }
    int id = 0;
    char list[32] = "";
    const int parts = sscanf(path.c_str(), "/3/movie/%d/%31s", &id, list);
    if (parts == 1 && id == 550 && args["append_to_response"] == "credits,external_ids") {
      return {200, With(details_, kCredits).toStyledString()};
    }
    if (parts != 2) return {404, not_found_};
    const bool recommended = strcmp(list, "recommendations") == 0;
    if (!recommended && strcmp(list, "similar") != 0) return {404, not_found_};
    if (id == 9003) return {200, "{\"results\": [], \"x\": \"" + std::string(3 << 20, 'x') + "\"}"};
    if (id == 9004) return {200, std::string(1001, '[') + std::string(1001, ']')};  // too deep
    if (id != 550 && !(id == 9005 && recommended)) return {404, not_found_};
    Json::Value titles(Json::arrayValue);
    if (recommended) {
      for (const auto& [first, end] : kRecommended) {
        for (int i = first; i < end; ++i) titles.append(top_rated_[i]);
      }
      if (id == 9005) titles.resize(3);
    } else {
      titles = top_rated_;
    }
    const int page = std::max(1, atoi(args["page"].c_str()));
    const int total = static_cast<int>(titles.size());
    for (int i = (page - 1) * kPageSize; i < std::min(total, page * kPageSize); ++i) {
      body["results"].append(titles[i]);
    }
    body["page"] = page;
    body["total_pages"] = (total + kPageSize - 1) / kPageSize;
    body["total_results"] = total;
    return {200, body.toStyledString()};
  }

  const std::string db_ = dir_.File("kinoro.db");
  const std::string cache_ = dir_.File("tmdb-cache.db");
  std::map<std::string, Json::Value> working_;  // settings by plug-in
  Json::Value top_rated_, details_;
  std::string invalid_key_, not_found_;
  MHD_Daemon* daemon_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::atomic<bool> failing_ = false;
};

// Similar titles by TMDb id or by title, best first, up to the limit, and
// what tmdb asked the stand-in for; the database is only read, and a cache
// turned off is never opened. (How tmdb pages through its two lists, the
// cache test below shows.)
TEST_F(ProgramsTest, SimilarTitlesUpToTheLimit) {
  const std::string recommended =
      "/3/movie/550/recommendations?api_key=good-key&language=fr-FR&page=";
  const std::string search = "/3/search/movie?api_key=good-key&language=fr-FR&page=1&query=";
  const std::string before = ReadFile(db_);
  if (daemon_ != nullptr) Settings("tmdb", R"({"cache_hours": 0})");
  const struct {
    std::string id;
    unsigned long limit;
    const char* request;
    std::string ids;
    std::vector<std::string> requests = {};
  } cases[] = {
      // The order kLibrary's comment explains.
      {"local_similar", 10, R"({"tmdb_id": 348})", "679 70981 78 17431 49047 1272 593 3525 218"},
      {"local_similar", 2, R"({"tmdb_id": 348.0})", "679 70981"},
      {"local_similar", 0, R"({"tmdb_id": 348})", ""},
      {"local_similar", 10, R"({"tmdb_id": 509})", ""},     // shares nothing
      {"local_similar", 10, R"({"tmdb_id": 999999})", ""},  // no such movie
      {"tmdb", 0, R"({"tmdb_id": 550})", ""},               // nothing asked, nothing sent
      {"tmdb", 0, R"({"action": "search", "title": "Fight Club"})", ""},
      // Without an id: the best match for the title, in its year.
      {"tmdb",
       2,
       R"({"title": "fight club", "original_available": "1999-10-15"})",
       RecordedIds({{12, 14}}),
       {search + "fight club&year=1999", recommended + "1"}},
      // A title TMDb does not know: nothing is similar, and that is no failure.
      {"tmdb", 2, R"({"title": "No Such Film"})", "", {search + "No Such Film"}},
  };
  for (const auto& c : cases) {
    if (c.id == "tmdb" && daemon_ == nullptr) continue;  // no recorded answers
    Json::Value answer;
    ASSERT_EQ(Lookup(c.id, c.request, c.limit, &answer), 0) << OnlyLine();
    EXPECT_TRUE(answer.isArray()) << c.request;
    EXPECT_EQ(TmdbIds(answer), c.ids) << c.id << " " << c.request << " limit " << c.limit;
    EXPECT_EQ(TakeRequests(), c.requests) << c.request << " limit " << c.limit;
    EXPECT_THAT(SyslogLines(), IsEmpty());
  }
  EXPECT_TRUE(ReadFile(db_) == before) << "the database was written";
  EXPECT_FALSE(kinoro_testing::PathExists(cache_)) << "a cache turned off was opened";
}

// tmdb asks for its recommendations page by page, then for the pages of
// its similar list that add titles, until it has the count or both lists
// end. It keeps what it fetched: a later lookup for as many titles or fewer,
// or for any count once TMDb ran out, is answered without asking TMDb; the
// answer depends on the movie, the action and the settings; failures are
// never kept. Each step's settings replace the working ones.
TEST_F(ProgramsTest, AnswerCacheKeepsWhatTmdbAnswered) {
  if (daemon_ == nullptr) GTEST_SKIP() << "no recorded TMDb answers in " << TMDB_SAMPLES_DIR;
  // What tmdb asks for a page of a list.
  auto list = [](const char* name, int page, const std::string& language = "fr-FR", int id = 550,
                 const char* key = "good-key") {
    return "/3/movie/" + std::to_string(id) + "/" + name + "?api_key=" + key +
           "&language=" + language + "&page=" + std::to_string(page);
  };
  auto recommended = [&](int page, const std::string& language = "fr-FR", int id = 550) {
    return list("recommendations", page, language, id);
  };
  auto similar = [&](int page, int id = 550) { return list("similar", page, "fr-FR", id); };
  const std::string search = R"({"action": "search", "title": "Fight Club"})";
  const std::string first_3 = RecordedIds({{12, 15}}), all = RecordedIds({{12, 20}, {0, 12}});
  std::string localhost = working_["tmdb"]["base_url"].asString();
  localhost.replace(localhost.find("127.0.0.1"), 9, "localhost");
  auto setting = [](const std::string& name, const std::string& value) {
    return "{\"" + name + "\": \"" + value + "\"}";
  };
  ASSERT_TRUE(WriteFile(dir_.File("text.db"), "not a database"));
  const struct {
    std::string settings;  // changes to the working settings
    unsigned long limit;
    std::string ids;                    // "-": the lookup fails
    std::vector<std::string> requests;  // none: answered from the cache
    std::string request = R"({"tmdb_id": 550})";
  } steps[] = {
      {"{}", 10, RecordedIds({{12, 20}, {0, 2}}), {recommended(1), recommended(2)}},
      {"{}", 10, RecordedIds({{12, 20}, {0, 2}}), {}},
      {"{}", 3, first_3, {}},
      // More than was fetched: TMDb may have more, and the longer list is kept.
      {"{}", 14, RecordedIds({{12, 20}, {0, 6}}), {recommended(1), recommended(2), similar(1)}},
      {"{}", 12, RecordedIds({{12, 20}, {0, 4}}), {}},
      {"{}", 30, all, {recommended(1), recommended(2), similar(1), similar(2), similar(3)}},
      // TMDb had 20 for a list fetched for 30: that is all it has.
      {"{}", 100, all, {}},
      {"{}", 3, first_3, {}, R"({"tmdb_id": 550.0})"},
      // Every setting that changes the answer makes another entry; an address
      // whose slashes are dropped is the same.
      {setting("language", "de-DE"), 3, first_3, {recommended(1, "de-DE")}},
      {setting("language", "de-DE"), 3, first_3, {}},
      {setting("base_url", localhost), 3, first_3, {recommended(1)}},
      {setting("image_base_url", "https://img.example/p"), 3, first_3, {recommended(1)}},
      {setting("base_url", working_["tmdb"]["base_url"].asString() + "//"), 3, first_3, {}},
      // A rejected key, a failed request and the recommendations of a run
      // whose /similar failed are not kept.
      {setting("api_key", "wrong-key"),
       3,
       "-",
       {list("recommendations", 1, "fr-FR", 550, "wrong-key")}},
      {setting("api_key", "wrong-key"),
       3,
       "-",
       {list("recommendations", 1, "fr-FR", 550, "wrong-key")}},
      {"{}", 3, "-", {recommended(1, "fr-FR", 9004)}, R"({"tmdb_id": 9004})"},
      {"{}", 3, "-", {recommended(1, "fr-FR", 9004)}, R"({"tmdb_id": 9004})"},
      {"{}", 5, "-", {recommended(1, "fr-FR", 9005), similar(1, 9005)}, R"({"tmdb_id": 9005})"},
      {"{}", 2, RecordedIds({{12, 14}}), {recommended(1, "fr-FR", 9005)}, R"({"tmdb_id": 9005})"},
      // Searches are kept too.
      {"{}",
       5,
       "550",
       {"/3/search/movie?api_key=good-key&language=fr-FR&page=1&query=Fight Club"},
       search},
      {"{}", 5, "550", {}, search},
      // At most two entries: the oldest stored goes first.
      {R"({"cache_entries": 2, "language": "x1"})", 3, first_3, {recommended(1, "x1")}},
      {R"({"cache_entries": 2, "language": "x2"})", 3, first_3, {recommended(1, "x2")}},
      {R"({"cache_entries": 2, "language": "x3"})", 3, first_3, {recommended(1, "x3")}},
      {R"({"cache_entries": 2, "language": "x2"})", 3, first_3, {}},
      {R"({"cache_entries": 2, "language": "x1"})", 3, first_3, {recommended(1, "x1")}},
      // A cache that cannot be used costs the answer nothing.
      {setting("cache_path", dir_.File("no/such/folder.db")), 3, first_3, {recommended(1)}},
      {setting("cache_path", dir_.File("text.db")), 3, first_3, {recommended(1)}},
      {setting("cache_path", dir_.File("text.db")), 3, first_3, {recommended(1)}},
  };
  for (const auto& step : steps) {
    Settings("tmdb", step.settings);
    Json::Value answer;
    const int ret = Lookup("tmdb", step.request, step.limit, &answer);
    const std::string what =
        step.settings + " " + step.request + " limit " + std::to_string(step.limit);
    EXPECT_EQ(ret == 0 ? TmdbIds(answer) : "-", step.ids) << what << ": " << OnlyLine();
    EXPECT_EQ(TakeRequests(), step.requests) << what;
  }
  EXPECT_FALSE(kinoro_testing::PathExists(dir_.File("no"))) << "a folder was made";
  EXPECT_EQ(ReadFile(dir_.File("text.db")), "not a database");
}

// An entry lives for "cache_hours" from when it was fetched; once older it
// is not used, and expired entries are dropped when an answer is stored.
TEST_F(ProgramsTest, AnswerCacheEntriesExpire) {
  if (daemon_ == nullptr) GTEST_SKIP() << "no recorded TMDb answers in " << TMDB_SAMPLES_DIR;
  Json::Value answer;
  ASSERT_EQ(Lookup("tmdb", R"({"tmdb_id": 550})", 3, &answer), 0) << OnlyLine();
  ASSERT_EQ(Lookup("tmdb", R"({"action": "search", "title": "Fight Club"})", 3, &answer), 0);
  TakeRequests();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(cache_.c_str(), &db), SQLITE_OK);
  auto rows = [db] {
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM answers", -1, &count, nullptr);
    const int n = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int(count, 0) : -1;
    sqlite3_finalize(count);
    return n;
  };
  // Both entries fetched 25 hours ago.
  ASSERT_EQ(sqlite3_exec(db, "UPDATE answers SET stored_at = stored_at - 25 * 3600", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(rows(), 2);
  const struct {
    const char* settings;
    size_t requests;
  } cases[] = {
      {R"({"cache_hours": 48})", 0},
      {R"({"cache_hours": 25.5})", 0},
      {R"({"cache_hours": 24.9})", 1},  // fetched again, and kept anew
      {R"({"cache_hours": 24.9})", 0},
  };
  for (const auto& c : cases) {
    Settings("tmdb", c.settings);
    ASSERT_EQ(Lookup("tmdb", R"({"tmdb_id": 550})", 3, &answer), 0) << OnlyLine();
    EXPECT_EQ(TmdbIds(answer), RecordedIds({{12, 15}}));
    EXPECT_EQ(TakeRequests().size(), c.requests) << c.settings;
  }
  EXPECT_EQ(rows(), 1) << "the expired search was kept";
  sqlite3_close(db);
}

// A title has what its source has: a search answers with TMDb's details,
// which carry more than the entries of a list; details add the credits,
// from one request that is kept like the other answers.
TEST_F(ProgramsTest, TitlesCarryWhatTheSourceHas) {
  Json::Value answer;
  ASSERT_EQ(Lookup("local_similar", R"({"tmdb_id": 348})", 1, &answer), 0) << OnlyLine();
  EXPECT_EQ(answer, ParseJson(R"([{"title": "Aliens", "original_available": "1986-07-18",
      "summary": "This time it's war.", "extra": {"com.velmora.TheMovieDb": {
        "reference": {"themoviedb": 679, "imdb": "tt0090605"}, "rating": {"themoviedb": 7.9}}}}])"));
  if (daemon_ == nullptr) GTEST_SKIP() << "no recorded TMDb answers in " << TMDB_SAMPLES_DIR;
  Settings("tmdb", R"({"image_base_url": "https://img.example/p/"})");
  Json::Value fight_club = ParseJson(R"({"title": "Fight Club", "original_available": "1999-10-15",
      "extra": {"com.velmora.TheMovieDb": {
      "reference": {"themoviedb": 550, "imdb": "tt0137523"}, "rating": {"themoviedb": 8.44},
      "poster": ["https://img.example/p/pB8BM7pdSp6B6Ih7QZ4DrQ3PmJK.jpg"],
      "backdrop": ["https://img.example/p/hZkgoQYus5vegHoetLkCJzb17zJ.jpg"]}}})");
  const std::string details = R"({"action": "details", "tmdb_id": 550})";
  for (const std::string& request :
       {std::string(R"({"action": "search", "title": "Fight Club"})"), details}) {
    TakeRequests();
    ASSERT_EQ(Lookup("tmdb", request, 5, &answer), 0) << OnlyLine();
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_THAT(answer[0]["summary"].asString(), HasSubstr("A ticking-time-bomb insomniac"));
    answer[0].removeMember("summary");
    if (request == details) {
      fight_club = With(fight_club, R"({"genre": ["Drama"], "director": ["David Fincher"],
          "actor": ["Edward Norton", "Brad Pitt", "Helena Bonham Carter"]})");
    }
    EXPECT_EQ(answer[0], fight_club) << request;
  }
  EXPECT_EQ(TakeRequests(), std::vector<std::string>{"/3/movie/550?api_key=good-key&"
                                                     "append_to_response=credits,external_ids&"
                                                     "language=fr-FR"});
  ASSERT_EQ(Lookup("tmdb", details, 5, &answer), 0) << OnlyLine();
  EXPECT_EQ(answer[0]["director"], fight_club["director"]);
  EXPECT_THAT(TakeRequests(), IsEmpty()) << "details are kept";
}

// local_similar's warm process answers as a fresh one would after an
// import, and after the database was made anew.
TEST_F(ProgramsTest, LocalSimilarSeesTheDatabaseAsItIsNow) {
  Json::Value answer;
  ASSERT_EQ(Lookup("local_similar", R"({"tmdb_id": 348})", 3, &answer), 0) << OnlyLine();
  EXPECT_EQ(TmdbIds(answer), "679 70981 78");
  // Score 5: a genre and the collection.
  Import(R"({"movies": [{"id": 15, "library_id": 1, "title": "Alien 3", "tmdb_id": 8077,
      "genres": ["SF"], "collection": "Alien Collection"}]})");
  ASSERT_EQ(Lookup("local_similar", R"({"tmdb_id": 348})", 3, &answer), 0) << OnlyLine();
  EXPECT_EQ(TmdbIds(answer), "679 70981 8077");
  // Removed and made again: the new file, not the one still open.
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((db_ + suffix).c_str());
  Import(kLibrary);
  ASSERT_EQ(Lookup("local_similar", R"({"tmdb_id": 348})", 3, &answer), 0) << OnlyLine();
  EXPECT_EQ(TmdbIds(answer), "679 70981 78");
}

// What a program says when it fails reaches the log, never the TMDb key.
TEST_F(ProgramsTest, FailuresAreFailedLookupsWithTheReasonLogged) {
  ASSERT_TRUE(WriteFile(dir_.File("text.db"), "not a database"));
  const std::string missing = dir_.File("missing.db");
  const struct {
    std::string id;
    std::string settings;  // changes to the working settings
    const char* request;
    const char* logged;
  } cases[] = {
      {"local_similar", R"({"database": ")" + missing + "\"}", R"({"tmdb_id": 348})",
       "cannot open database"},
      {"local_similar", R"({"database": ")" + dir_.File("text.db") + "\"}", R"({"tmdb_id": 348})",
       "cannot query database"},
      {"local_similar", "{}", R"({"tmdb_id": "348"})", "\"tmdb_id\" is not an integer"},
      {"tmdb", R"({"api_key": "wrong-key"})", R"({"tmdb_id": 550})",
       "HTTP 401 to /movie/550/recommendations: Invalid API key"},
      {"tmdb", R"({"api_key": ""})", R"({"tmdb_id": 550})",
       "skipped: its settings have no api_key"},
      {"tmdb", R"({"base_url": "file:///etc/passwd"})", R"({"tmdb_id": 550})",
       "setting \"base_url\" is not an http or https address"},
      {"tmdb", R"({"base_url": "http://127.0.0.1:1"})", R"({"tmdb_id": 550})", "cannot reach TMDb"},
      {"tmdb", R"({"cache_hours": "24"})", R"({"tmdb_id": 550})",
       "setting \"cache_hours\" is not a number of hours"},
      {"tmdb", R"({"cache_entries": -1})", R"({"tmdb_id": 550})",
       "setting \"cache_entries\" is not a count"},
      {"tmdb", "{}", R"({"tmdb_id": 12})", "HTTP 404 to /movie/12/recommendations: The resource"},
      // Recommendations that fall short are no answer when /similar fails.
      {"tmdb", "{}", R"({"tmdb_id": 9005})", "HTTP 404 to /movie/9005/similar: The resource"},
      {"tmdb", "{}", R"({"tmdb_id": 9003})", "is larger than"},
      {"tmdb", "{}", R"({"tmdb_id": 9004})", "is not a JSON object"},
      {"tmdb", "{}", R"({"tmdb_id": -4})", "\"tmdb_id\" is not a positive integer"},
      {"tmdb", "{}", R"({"original_available": "1999"})", "needs a \"tmdb_id\" or a \"title\""},
      {"tmdb", "{}", R"({"action": "search", "title": ""})", "search needs a \"title\""},
      {"tmdb", "{}", R"({"action": "details", "tmdb_id": 12})",
       "HTTP 404 to /movie/12: The resource"},
      {"tmdb", "{}", R"({"action": "details"})", "details needs a \"tmdb_id\""},
  };
  for (const auto& c : cases) {
    if (c.id == "tmdb" && daemon_ == nullptr) continue;
    Settings(c.id, c.settings);
    Json::Value answer;
    EXPECT_EQ(Lookup(c.id, c.request, 5, &answer), -1) << c.settings << c.request;
    EXPECT_THAT(OnlyLine(), AllOf(HasSubstr("plug-in " + c.id + " "), HasSubstr(c.logged),
                                  Not(HasSubstr("key="))));
  }
  // The database must exist: a missing file is not created.
  EXPECT_FALSE(kinoro_testing::PathExists(missing));
}

// Movies without a TMDb id as a scan leaves them: names that came from the
// file's name, and one with members a sidecar set (not in from_name).
constexpr char kScanned[] = R"({"libraries": [{"id": 3, "title": "Scanned", "type": "movie"},
                                {"id": 4, "title": "Shows", "type": "tvshow"}],
 "tvshows": [{"id": 41, "library_id": 4, "title": "Fight Club", "original_available": "1999",
   "from_name": ["title", "sort_title", "original_available"]}],
 "movies": [
  {"id": 31, "library_id": 3, "title": "fight club!", "original_available": "1999",
   "from_name": ["title", "sort_title", "original_available"]},
  {"id": 32, "library_id": 3, "title": "Fight Club 2", "original_available": "1999",
   "from_name": ["title", "sort_title", "original_available"]},
  {"id": 33, "library_id": 3, "title": "Fight Club", "original_available": "2001",
   "from_name": ["title", "sort_title", "original_available"]},
  {"id": 34, "library_id": 3, "title": "FIGHT CLUB", "summary": "From the sidecar.",
   "genres": ["Satire"], "from_name": ["title", "sort_title"]},
  {"id": 35, "library_id": 3, "title": "Fight Club", "original_available": "2000",
   "from_name": ["title", "sort_title", "original_available"]}]})";

// Matching through the engine and the real tmdb program: confident matches
// get TMDb's members where the name gave them or nothing did, with artwork;
// a failed request is asked again on the next run, "no match" only with
// rematch; without a key nothing is asked.
TEST_F(ProgramsTest, MatchStoresConfidentMatchesAndRetriesOnlyFailures) {
  if (daemon_ == nullptr) GTEST_SKIP() << "no recorded TMDb answers in " << TMDB_SAMPLES_DIR;
  Import(kScanned);
  auto conn = LibKinoro::db::internal::Connection::Open(db_);
  ASSERT_NE(conn, nullptr);
  auto rows = [&](const std::string& sql) {
    std::string out;
    auto stmt = conn->Prepare(sql.c_str());
    while (stmt.Step()) {
      for (int i = 0; i < stmt.ColumnCount(); ++i) out += (i ? "|" : "") + stmt.ColumnText(i);
      out += "\n";
    }
    return out;
  };
  using LibKinoro::db::internal::MatchResult;
  LibKinoro::db::internal::MatchOptions options;
  options.library_id = 3;
  options.download.allow_private_addresses = true;  // the stand-in is on loopback
  // Each run: how it ends, its counts (looked, matched, unmatched, failed)
  // and how many searches reached TMDb.
  const struct {
    const char* settings;
    bool failing;  // TMDb answers HTTP 500
    bool rematch;
    MatchResult result;
    std::vector<long long> counts;
    int searches;
  } runs[] = {
      {R"({"api_key": ""})", false, false, MatchResult::kNoKey, {}, 0},
      {"{}", true, false, MatchResult::kDone, {5, 0, 0, 5}, 5},
      // Asked again without the year: the two unmatched and 35, a year off
      // (its search and 33's are one, the second from tmdb's cache).
      {"{}", false, false, MatchResult::kDone, {5, 3, 2, 0}, 7},
      {"{}", false, false, MatchResult::kDone, {0, 0, 0, 0}, 0},  // no match is not asked again
      {"{}", false, true, MatchResult::kDone, {2, 0, 2, 0}, 0},   // tmdb's cache holds the answers
  };
  for (const auto& run : runs) {
    Settings("tmdb", run.settings);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failing_ = run.failing;
    }
    options.rematch = run.rematch;
    LibKinoro::db::internal::MatchStats stats;
    std::string error;
    EXPECT_EQ(MatchVideos(conn.get(), options, &stats, &error), run.result) << error;
    if (!run.counts.empty()) {
      EXPECT_EQ(
          std::vector<long long>({stats.looked, stats.matched, stats.unmatched, stats.failed}),
          run.counts);
    }
    int searches = 0;
    for (const std::string& line : TakeRequests()) searches += line.rfind("/3/search/", 0) == 0;
    EXPECT_EQ(searches, run.searches) << run.settings;
  }

  EXPECT_EQ(rows("SELECT m.id, m.title, m.original_available, m.tmdb_id, m.imdb_id, m.rating, "
                 "m.summary LIKE 'A ticking%', mp.from_name FROM movie m JOIN mapper mp ON "
                 "mp.id = m.mapper_id WHERE m.library_id = 3 ORDER BY m.id"),
            "31|Fight Club|1999-10-15|550|tt0137523|8.44|1|\n"
            "32|Fight Club 2|1999|-1||-1.0|0|title,sort_title,original_available\n"
            "33|Fight Club|2001|-1||-1.0|0|title,sort_title,original_available\n"
            "34|Fight Club|1999-10-15|550|tt0137523|8.44|0|\n"
            "35|Fight Club|1999-10-15|550|tt0137523|8.44|1|\n");
  EXPECT_EQ(rows("SELECT summary FROM movie WHERE id = 34"), "From the sidecar.\n");
  // Names in order; the sidecar's genre stays.
  EXPECT_EQ(rows("SELECT id, group_concat(name, ',') FROM (SELECT m.id, n.name FROM movie m JOIN ("
                 "SELECT mapper_id, 0 AS role, position, g.name FROM video_genre JOIN genre g "
                 "ON g.id = genre_id UNION ALL SELECT mapper_id, role, position, p.name FROM "
                 "credit JOIN person p ON p.id = person_id) n ON n.mapper_id = m.mapper_id "
                 "WHERE m.library_id = 3 ORDER BY m.id, n.role, n.position) GROUP BY id"),
            "31|Drama,Edward Norton,Brad Pitt,Helena Bonham Carter,David Fincher\n"
            "34|Satire,Edward Norton,Brad Pitt,Helena Bonham Carter,David Fincher\n"
            "35|Drama,Edward Norton,Brad Pitt,Helena Bonham Carter,David Fincher\n");
  EXPECT_EQ(rows("SELECT m.id, (SELECT count(*) FROM poster p WHERE p.mapper_id = m.mapper_id), "
                 "(SELECT count(*) FROM backdrop b WHERE b.mapper_id = m.mapper_id) FROM movie m "
                 "WHERE m.library_id = 3 AND m.tmdb_id > 0 ORDER BY m.id"),
            "31|1|1\n34|1|1\n35|1|1\n");

  // A show is searched and detailed as a show.
  options.library_id = 4;
  LibKinoro::db::internal::MatchStats stats;
  std::string error;
  ASSERT_EQ(MatchVideos(conn.get(), options, &stats, &error), MatchResult::kDone) << error;
  EXPECT_EQ(stats.matched, 1);
  EXPECT_THAT(TakeRequests(), Contains(HasSubstr("/3/search/tv?api_key=good-key&"
                                                 "first_air_date_year=1999&")));
  EXPECT_EQ(rows("SELECT title, original_available, tmdb_id, imdb_id, rating FROM tvshow"),
            "Fight Club|1999-10-15|550|tt0137523|8.44\n");
}

}  // namespace
