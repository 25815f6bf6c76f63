// The module loaded into a host dispatcher, against the real platform
// libraries: a temporary database, one share, "media", whose root is the
// database's folder, and a plug-in folder with two scripted plug-ins.
#ifndef KINORO_TESTS_INTEGRATION_MODULE_FIXTURE_H_
#define KINORO_TESTS_INTEGRATION_MODULE_FIXTURE_H_

#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <string>

#include "libkinoro/api.h"
#include "platform/host/dispatcher.h"
#include "platform/plugin/plugin_config.h"
#include "platform/services/share_config.h"
#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/temp_db.h"
#include "velm/caller.h"

namespace integration {

// Libraries: 1 public, 2 private to user 1027, 3 private to nobody, 4
// public and empty. Movie n of library 1 has TMDb id 100 + n; 7 and 10
// (library 2) are copies of 3 and 1 and newer than the others (added now),
// as is 8 (library 3); 9 has no TMDb id, 11 has 0; 5 and 11 no rating.
// Movie 1 has mapper id 10, 4 has 40 and 7 has 70.
const char kDocument[] = R"({
  "libraries": [{"id": 1, "type": "movie", "public": true},
                {"id": 2, "type": "movie", "public": false, "users": [1027]},
                {"id": 3, "type": "movie", "public": false, "users": []},
                {"id": 4, "type": "tvshow", "public": true}],
  "movies": [{"id": 1, "library_id": 1, "mapper_id": 10, "tmdb_id": 101, "rating": 8.0},
             {"id": 2, "library_id": 1, "tmdb_id": 102, "rating": 7.0, "summary": "War.",
              "files": [{"id": 1, "path": "@ROOT@/films/Aliens.mkv"}]},
             {"id": 3, "library_id": 1, "tmdb_id": 103, "rating": 7.0},
             {"id": 4, "library_id": 1, "mapper_id": 40, "tmdb_id": 104, "rating": 6.0},
             {"id": 5, "library_id": 1, "tmdb_id": 105},
             {"id": 6, "library_id": 1, "tmdb_id": 106, "rating": 5.0},
             {"id": 7, "library_id": 2, "mapper_id": 70, "tmdb_id": 103, "rating": 7.0,
              "create_time": "2029-01-01T00:00:00Z"},
             {"id": 8, "library_id": 3, "tmdb_id": 108, "rating": 9.0,
              "create_time": "2030-01-01T00:00:00Z"},
             {"id": 9, "library_id": 1, "rating": 4.0},
             {"id": 10, "library_id": 2, "tmdb_id": 101, "rating": 8.0,
              "create_time": "2029-01-01T00:00:00Z"},
             {"id": 11, "library_id": 1, "tmdb_id": 0}]})";

// A scripted plug-in: keeps each request in "requests" and answers with the
// file "answer" when there is one, else with the first "limit" lines of the
// file "titles" as an array.
const char kScript[] = R"(#!/bin/sh
read -r request
echo "$request" >> requests
if [ -f answer ]; then exec cat answer; fi
n=$(echo "$request" | sed 's/.*"limit" *: *\([0-9]*\).*/\1/')
echo "[$(head -n "$n" titles | paste -sd, -)]"
)";

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(dispatcher_.LoadModule(KINORO_BINARY_DIR "/libkinoro_webapi.so", &error)) << error;
    std::string document = kDocument;
    ASSERT_EQ("", db_.Import(document.replace(document.find("@ROOT@"), 6, db_.dir())));
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + db_.dir() + R"("}]})"));
    image_ = videodb_test::FakeJpeg(4096, 1);
    db_.WriteFile("f.jpg", image_);
    for (const char* id : {"a", "b"}) {
      ASSERT_TRUE(kinoro_testing::MakeDirs(Plugin(id)));
      ASSERT_TRUE(kinoro_testing::WriteFile(
          Plugin(id) + "/INFO",
          R"({"id": ")" + std::string(id) +
              R"(", "types": ["movie"], "actions": ["similar"], "exec": "run"})"));
      ASSERT_TRUE(kinoro_testing::WriteFile(Plugin(id) + "/run", kScript));
      ASSERT_EQ(0, chmod((Plugin(id) + "/run").c_str(), 0755));
    }
    // "tmdb" is ranked first, as by default, and skipped as not installed.
    ASSERT_TRUE(
        kinoro_testing::WriteFile(plugins_.File("plugins.conf"),
                                  R"({"priority": {"movie": {"similar": ["tmdb", "a", "b"]}}})"));
    velm_plugin::SetPluginFolder(plugins_.File("plugins"));
    velm_plugin::SetPluginConfPath(plugins_.File("plugins.conf"));
  }
  void TearDown() override {
    VELMShareSetConfigPath("");
    velm_plugin::SetPluginFolder("");
    velm_plugin::SetPluginConfPath("");
  }

  // One call, its parameters given as JSON text; user 1024 is an
  // administrator.
  kinoro::host::DispatchResult Call(const std::string& api, const std::string& method,
                                    const std::string& params, unsigned int uid = 1026) {
    return dispatcher_.Call(api, "1", method, videodb_test::ParseJson(params), uid, uid == 1024);
  }
  // The logged lines that start with `prefix` (a source name and ":"), each
  // ended by a line break.
  static std::string Logged(const std::string& prefix) {
    std::string lines;
    for (const kinoro_testing::SyslogLine& line : kinoro_testing::SyslogLines()) {
      if (line.text.compare(0, prefix.size(), prefix) == 0) lines += line.text + "\n";
    }
    return lines;
  }
  std::string Plugin(const std::string& id) { return plugins_.File("plugins/" + id); }

  // Gives the video of `mapper_id` one backdrop, as a tool would.
  void Reset(int mapper_id) {
    velm::SetCallerSystem();
    LibKinoro::db::api::BackdropAPI library;
    ASSERT_NE(0, library.DeleteAll(mapper_id));
    ASSERT_GE(library.Add(mapper_id, db_.dir() + "/f.jpg", false), 0);
    velm::ClearCaller();
  }

  videodb_test::TempDb db_;
  kinoro::host::Dispatcher dispatcher_;
  kinoro_testing::TempDir plugins_;
  std::string image_;
};

}  // namespace integration

#endif  // KINORO_TESTS_INTEGRATION_MODULE_FIXTURE_H_
