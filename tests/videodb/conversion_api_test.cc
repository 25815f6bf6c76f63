// OfflineConversionAPI against a real temporary database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::api::BaseAPI;
using LibKinoro::db::api::OfflineConversionAPI;
using LibKinoro::db::record::OfflineConversionSetting;
using LibKinoro::db::record::OfflineConversionTask;
using videodb_test::Ids;
using videodb_test::TempDb;

// Tasks 1-3 belong to 1001, 4 to 1002. States: 1 waiting, 2 converting,
// 3 done (with a produced file), 4 error.
const char kDoc[] = R"({
  "libraries": [{"id": 1}],
  "movies": [{"id": 1, "library_id": 1, "title": "Film", "mapper_id": 10,
              "files": [{"id": 7, "path": "/v/film.mkv", "size": 70, "duration": 7}]}],
  "tvshows": [{"id": 1, "library_id": 1, "title": "Show",
               "episodes": [{"id": 2, "title": "Ep", "season": 1, "episode": 3,
                             "files": [{"id": 8, "path": "/v/ep.mkv"}]}]}],
  "conversion_tasks": [
    {"id": 1, "uid": 1001, "file_id": 7, "video_profile": "high", "audio_id": 2,
     "state": "waiting", "create_time": "2024-01-03T00:00:00Z"},
    {"id": 2, "uid": 1001, "file_id": 8, "video_profile": "low", "state": "converting",
     "progress": 0.5, "time_left": 60, "create_time": "2024-01-01T00:00:00Z"},
    {"id": 3, "uid": 1001, "file_id": 7, "state": "done", "progress": 1,
     "create_time": "2024-01-02T00:00:00Z",
     "produced_file": {"path": "/v/film-high.mp4", "size": 30, "duration": 7}},
    {"id": 4, "uid": 1002, "file_id": 7, "state": "error", "error": 5,
     "create_time": "2024-01-04T00:00:00Z"}
  ]
})";

std::vector<std::string> States(unsigned int scope) {
  OfflineConversionAPI api(scope);
  std::vector<std::string> states;
  for (const auto& task : api.List()) states.push_back(task.status.GetStatusString());
  return states;
}

class ConversionApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(db_.Import(kDoc), ""); }
  TempDb db_;
};

TEST_F(ConversionApiTest, ListScopeAndOrder) {
  OfflineConversionAPI all(0);
  EXPECT_EQ(Ids(all.List()), (std::vector<int>{2, 3, 1, 4}));
  all.OrderByCtime(BaseAPI::SORT_DESC);
  EXPECT_EQ(Ids(all.List()), (std::vector<int>{4, 1, 3, 2}));
  EXPECT_EQ(Ids(OfflineConversionAPI(1001).List()), (std::vector<int>{2, 3, 1}));
  EXPECT_EQ(Ids(OfflineConversionAPI(1002).List()), (std::vector<int>{4}));
  EXPECT_TRUE(OfflineConversionAPI(5).List().empty());
}

TEST_F(ConversionApiTest, ListFillsStatusAndSettingAndOnlyTheAskedParts) {
  OfflineConversionAPI api(1001);
  std::vector<OfflineConversionTask> plain = api.List();
  ASSERT_EQ(plain.size(), 3u);
  const OfflineConversionTask& converting = plain[0];
  EXPECT_EQ(converting.uid, 1001u);
  EXPECT_EQ(converting.status.GetStatusString(), "converting");
  EXPECT_DOUBLE_EQ(converting.status.progress(), 0.5);
  EXPECT_EQ(converting.status.time_left(), 60);
  EXPECT_EQ(converting.setting.file_id, 8);
  EXPECT_EQ(converting.setting.video_profile(), "low");
  EXPECT_EQ(plain[2].setting.audio_id, 2);
  EXPECT_EQ(converting.setting.file.id, 0);
  EXPECT_FALSE(converting.setting.video);
  EXPECT_EQ(plain[1].setting.produced_file.id, 0);

  api.with_file = api.with_video = api.with_produced_file = api.with_poster_mtime = true;
  std::vector<OfflineConversionTask> full = api.List();
  ASSERT_EQ(full.size(), 3u);
  EXPECT_EQ(full[0].setting.file.path, "/v/ep.mkv");
  ASSERT_TRUE(full[0].setting.video);
  EXPECT_EQ(full[0].setting.video->type_name(), "tvshow_episode");
  EXPECT_EQ(full[0].setting.video->AsJson()["season"].asInt(), 1);
  EXPECT_EQ(full[0].setting.video->additional["poster_mtime"].asString(), "");
  ASSERT_TRUE(full[1].setting.video);
  EXPECT_EQ(full[1].setting.video->type_name(), "movie");
  EXPECT_EQ(full[1].setting.video->title, "Film");
  EXPECT_EQ(full[1].setting.produced_file.path, "/v/film-high.mp4");
  EXPECT_GT(full[1].setting.produced_file.id, 0);
  EXPECT_EQ(full[0].setting.produced_file.id, 0);  // not produced yet
}

TEST_F(ConversionApiTest, CreateBelongsToTheGivenUserAndWaitsOrRefusesBadSettings) {
  OfflineConversionAPI api(1002);
  struct Case {
    int file_id;
    const char* profile;
    int audio_id;
  } refused[] = {{99, "high", 0}, {0, "high", 0}, {7, "", 0}, {7, "high", -1}};
  for (const Case& c : refused) {
    OfflineConversionSetting setting;
    setting.file_id = c.file_id;
    setting.set_video_profile(c.profile);
    setting.audio_id = c.audio_id;
    EXPECT_LE(api.Create(setting), 0) << c.file_id << " " << c.profile;
  }
  OfflineConversionSetting setting;
  setting.file_id = 8;
  setting.set_video_profile("HIGH");
  int id = api.Create(setting);
  ASSERT_GT(id, 4);
  std::vector<OfflineConversionTask> tasks = api.List();
  ASSERT_EQ(Ids(tasks), (std::vector<int>{4, id}));
  EXPECT_EQ(tasks[1].uid, 1002u);
  EXPECT_EQ(tasks[1].status.GetStatusString(), "waiting");
  EXPECT_EQ(tasks[1].setting.video_profile(), "HIGH");
  EXPECT_EQ(tasks[1].setting.audio_id, 0);
}

TEST_F(ConversionApiTest, ChangesByIdAreScopedAndAllOrNothing) {
  struct Case {
    const char* what;
    unsigned int scope;
    std::vector<int> ids;
    bool ok;
  } cases[] = {
      {"another user's task", 1001, {1, 4}, false},
      {"unknown id", 0, {1, 99}, false},
  };
  for (const Case& c : cases) {
    OfflineConversionAPI api(c.scope);
    EXPECT_EQ(api.Delete(c.ids), c.ok) << c.what;
    EXPECT_EQ(api.Stop(c.ids), c.ok) << c.what;
    EXPECT_EQ(api.Restart(c.ids), c.ok) << c.what;
  }
  EXPECT_EQ(States(0), (std::vector<std::string>{"converting", "done", "waiting", "error"}));

  OfflineConversionAPI user(1001);
  EXPECT_TRUE(user.Stop({}));
  EXPECT_TRUE(user.Stop({1, 2, 3, 2}));  // a finished task stays done
  EXPECT_EQ(States(1001), (std::vector<std::string>{"stopped", "done", "stopped"}));
  EXPECT_TRUE(user.Restart({2}));
  EXPECT_EQ(States(1001), (std::vector<std::string>{"waiting", "done", "stopped"}));
  EXPECT_TRUE(user.Delete({1, 3}));
  EXPECT_EQ(Ids(OfflineConversionAPI(0).List()), (std::vector<int>{2, 4}));
}

TEST_F(ConversionApiTest, StopAllAndRestartAllStayInScope) {
  EXPECT_TRUE(OfflineConversionAPI(1001).StopAll());
  EXPECT_EQ(States(0), (std::vector<std::string>{"stopped", "done", "stopped", "error"}));
  EXPECT_TRUE(OfflineConversionAPI(1002).RestartAll());
  EXPECT_EQ(States(0), (std::vector<std::string>{"stopped", "done", "stopped", "waiting"}));
  EXPECT_TRUE(OfflineConversionAPI(0).RestartAll());
  EXPECT_EQ(States(0), (std::vector<std::string>{"waiting", "done", "waiting", "waiting"}));
  OfflineConversionAPI all(0);
  all.OrderByCtime(BaseAPI::SORT_ASC);
  EXPECT_DOUBLE_EQ(all.List()[0].status.progress(), 0.0);  // restarted from the beginning
}

}  // namespace
