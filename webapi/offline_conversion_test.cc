// The conversion methods behind their switch, which a test subclass turns
// on, against a real database: which tasks each call reaches, what it
// answers and logs. The library's own tests keep only what no method shows.
#include "webapi/offline_conversion.h"

#include <gtest/gtest.h>

#include <string>

#include "kinoro/root.h"
#include "platform/services/user_config.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/temp_db.h"
#include "webapi/format.h"

namespace velmkr {
namespace webapi {
namespace {

using Api = OfflineConversionAPI;
using LibKinoro::db::internal::Connection;

class EnabledConversionAPI : public Api {
 public:
  using Api::Api;

 private:
  bool ConversionAllowed() const override { return true; }
};

// Movie 10 has a backdrop, no poster, and files 5 and 6. Tasks 1 and 3
// belong to user 1026, task 2 (with a produced file) to 3000000000.
const char kMovie[] = R"({"libraries": [{"id": 1, "public": true}],
  "movies": [{"id": 10, "library_id": 1, "backdrops": ["b.jpg"],
              "files": [{"id": 5, "path": "/v/a.mkv"}, {"id": 6, "path": "/v/a.avi"}]}]})";
const char kTasks[] = R"({"conversion_tasks": [
    {"id": 1, "uid": 1026, "file_id": 5, "video_profile": "high", "state": "done", "progress": 0.5},
    {"id": 2, "uid": 3000000000, "file_id": 6, "video_profile": "low", "state": "stopped",
     "audio_id": 2, "time_left": 7, "error": 3, "produced_file": {"path": "/v/a.mp4"}},
    {"id": 3, "uid": 1026, "file_id": 5, "state": "converting", "progress": 1.5}]})";
// The tasks as Tasks() shows them: states 0 waiting, 1 converting, 2 done,
// 4 stopped.
const char kShown[] = "1:2 2:4 3:1";

std::string Compact(const Json::Value& value) { return Json::FastWriter().write(value); }

class OfflineConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.WriteFile("b.jpg", videodb_test::FakeJpeg(1000, 1));
    ASSERT_EQ("", db_.Import(kMovie));
    ASSERT_EQ("", db_.Import(kTasks));
    VelmUserSetDatabasePath(db_.dir() + "/no-users.db");  // every owner name is empty
  }
  void TearDown() override { VelmUserSetDatabasePath(""); }

  // Runs one method as its entry function does, with the switch on: the
  // error code (0 for success, -1 for no answer at all).
  int Run(void (Api::*method)(), const std::string& params, unsigned int uid = 1026,
          bool admin = false) {
    VELM::APIRequest request("VELM.Kinoro.OfflineConversion", 1, "test",
                             videodb_test::ParseJson(params), uid, admin);
    VELM::APIResponse response;
    {
      EnabledConversionAPI api(&request, &response);
      (api.*method)();
    }
    data_ = response.GetData();
    return response.IsAnswered() ? response.GetErrorCode() : -1;
  }
  // "id:state" of each task; a new one adds ":owner:profile:audio id".
  std::string Tasks() {
    auto stmt = Connection::Get()->Prepare(
        "SELECT group_concat(id || ':' || state || iif(id > 3, ':' || uid || ':' || video_profile "
        "|| ':' || audio_id, ''), ' ') FROM (SELECT * FROM conversion_task ORDER BY id)");
    return stmt.Step() ? stmt.ColumnText(0) : "";
  }

  videodb_test::TempDb db_;
  Json::Value data_;
  // The rule that takes a backdrop for a missing poster.
  kinoro_testing::ScopedRootFile settings_{
      KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf"),
      R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "backdrop"})"};
};

// The list in the caller's scope (every task for an administrator), oldest
// first, with the parts "additional" names loaded.
TEST_F(OfflineConversionTest, ListAnswersTheTasksInScope) {
  ASSERT_EQ(0, Run(&Api::List_v1, "{}", 1024, true));
  EXPECT_EQ(Compact(videodb_test::ParseJson(R"({"id": 2, "setting": {"file_id": 6,
      "video_profile": "low", "audio_id": 2, "audio_codec": "mp3",
      "additional": {"video": {}, "file": {}, "produced_file": {}}},
      "status": {"owner": 3000000000, "owner_name": "", "state": "stopped", "progress": 0.0,
                 "time_left": 7, "error": 3}})")),
            Compact(data_["task"][1]));
  // "done" is always complete; no profile is the original; the codec
  // follows the file id.
  EXPECT_EQ(1.0, data_["task"][0]["status"]["progress"].asDouble());
  EXPECT_EQ("original", data_["task"][2]["setting"]["video_profile"].asString());
  EXPECT_EQ("aac_lc", data_["task"][2]["setting"]["audio_codec"].asString());

  const struct {
    unsigned int uid;
    const char* params;
    std::string parts;  // the ids, and the additional parts loaded
  } cases[] = {
      {1026, R"({"additional": ["Video", "produced_file"]})", "1 3 "},
      {1026, R"({"additional": ["video"]})", "1 video 3 video "},
      {3000000000u, R"({"additional": ["file", "produced_file", "file"]})",
       "2 file produced_file "},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(0, Run(&Api::List_v1, c.params, c.uid)) << c.params;
    std::string parts;
    for (const Json::Value& task : data_["task"]) {
      parts += task["id"].asString() + " ";
      const Json::Value& additional = task["setting"]["additional"];
      for (const char* part : {"video", "file", "produced_file"}) {
        if (!additional[part].empty()) parts += part + std::string(" ");
      }
      // A video is loaded with the prepared cover rule: the backdrop's time.
      EXPECT_EQ(additional["video"].empty(),
                additional["video"]["additional"]["poster_mtime"].asString().empty());
    }
    EXPECT_EQ(c.parts, parts) << c.params;
  }
}

// Each row starts from kTasks. Changes reach only tasks in the caller's
// scope (every task for an administrator), all or nothing; stopping leaves
// a finished task, restarting only a stopped one. A new task is the login
// user's own, its profile kept as sent. Invalid parameters change nothing.
TEST_F(OfflineConversionTest, ChangesInTheCallersScope) {
  const struct {
    void (Api::*method)();
    const char* params;
    unsigned int uid;
    bool admin;
    int code;
    std::string tasks;  // afterwards
  } cases[] = {
      {&Api::Create_v1, R"({"file_id": 5, "video_profile": "HIGH"})", 1024, false, 0,
       "1:2 2:4 3:1 4:0:1024:HIGH:0"},
      {&Api::Create_v1, R"({"file_id": 6, "video_profile": "Low", "audio_id": 2})", 1024, true, 0,
       "1:2 2:4 3:1 4:0:1024:Low:2"},
      {&Api::Create_v1, R"({"file_id": 99, "video_profile": "low"})", 1026, false, 117, kShown},
      {&Api::Delete_v1, R"({"id": [3, 1]})", 1026, false, 0, "2:4"},
      {&Api::Delete_v1, R"({"id": [3, 2]})", 1026, false, 117, kShown},
      {&Api::Delete_v1, R"({"id": [3, 2]})", 1026, true, 0, "1:2"},
      {&Api::Delete_v1, R"({"id": []})", 1026, false, 0, kShown},
      {&Api::Stop_v1, R"({"id": [3]})", 1026, false, 0, "1:2 2:4 3:4"},
      {&Api::Restart_v1, R"({"id": [2]})", 1026, true, 0, "1:2 2:0 3:1"},
      {&Api::Stop_All_v1, "{}", 3000000000u, false, 0, kShown},  // nothing to stop
      {&Api::Stop_All_v1, "{}", 1026, false, 0, "1:2 2:4 3:4"},
      {&Api::Restart_All_v1, "{}", 1026, true, 0, "1:2 2:0 3:1"},
      {&Api::Create_v1, R"({"file_id": 0, "video_profile": "high"})", 1026, false, 120, kShown},
      {&Api::Create_v1, R"({"file_id": 5, "video_profile": "hig"})", 1026, false, 120, kShown},
      {&Api::Create_v1, R"({"file_id": 5, "video_profile": "low", "audio_id": -1})", 1026, false,
       120, kShown},
      {&Api::Stop_v1, R"({"id": [3, 0]})", 1026, false, 120, kShown},
      {&Api::Restart_v1, R"({"id": [1.5]})", 1026, false, 120, kShown},
      {&Api::Restart_v1, R"({"id": {"a": 1}})", 1026, false, 120, kShown},  // no throw
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.params) + " uid " + std::to_string(c.uid));
    ASSERT_TRUE(Connection::Get()->Prepare("DELETE FROM conversion_task").Run());
    ASSERT_EQ("", db_.Import(kTasks));
    kinoro_testing::ClearSyslog();
    EXPECT_EQ(c.code, Run(c.method, c.params, c.uid, c.admin));
    EXPECT_EQ(c.tasks, Tasks());
    const bool created = c.method == &Api::Create_v1;
    EXPECT_EQ(created && c.code == 0 ? "{\"id\":4}\n" : "null\n", Compact(data_));
    const auto lines = kinoro_testing::SyslogLines();  // only a failed create logs
    EXPECT_EQ(created && c.code == 117,
              !lines.empty() && lines.back().text == "offline_conversion:143 create failed");
  }
}

// Without a database the list is empty and a change 117.
TEST_F(OfflineConversionTest, NoDatabase) {
  LibKinoro::db::SetDatabasePath(db_.dir() + "/missing.db");
  EXPECT_EQ(0, Run(&Api::List_v1, "{}"));
  EXPECT_EQ("{\"task\":[]}\n", Compact(data_));
  EXPECT_EQ(117, Run(&Api::Stop_All_v1, "{}"));
}

// Only a loaded file has a form: a record with no id or no path is empty.
TEST(FormatTest, OnlyAStoredFileHasAForm) {
  LibKinoro::db::record::File file;
  file.id = 4;
  EXPECT_EQ("{}\n", Compact(format::FileToJson(file))) << "no path";
  file.path = "/v/a.mkv";
  EXPECT_EQ(Compact(file.AsJson()), Compact(format::FileToJson(file)));
  file.id = 0;
  EXPECT_EQ("{}\n", Compact(format::FileToJson(file))) << "id 0";
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
