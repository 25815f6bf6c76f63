// OfflineConversionAPI: what the module's methods do not show (the order by
// creation time both ways, the parts of each kind). Scopes, settings,
// all-or-nothing changes and the states they leave are tested through them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::api::BaseAPI;
using LibKinoro::db::api::OfflineConversionAPI;
using videodb_test::Ids;

// Task 2 (an episode's) is the oldest, then 3 (done, with a produced file),
// then 1 and 4 (an error).
const char kDoc[] = R"({
  "libraries": [{"id": 1}],
  "movies": [{"id": 1, "library_id": 1, "title": "Film", "mapper_id": 10,
              "files": [{"id": 7, "path": "/v/film.mkv", "duration": 7}]}],
  "tvshows": [{"id": 1, "library_id": 1, "title": "Show",
               "episodes": [{"id": 2, "title": "Ep", "season": 1, "episode": 3,
                             "files": [{"id": 8, "path": "/v/ep.mkv"}]}]}],
  "conversion_tasks": [
    {"id": 1, "uid": 1001, "file_id": 7, "state": "waiting", "create_time": "2024-01-03T00:00:00Z"},
    {"id": 2, "uid": 1001, "file_id": 8, "state": "converting", "progress": 0.5,
     "create_time": "2024-01-01T00:00:00Z"},
    {"id": 3, "uid": 1001, "file_id": 7, "state": "done", "create_time": "2024-01-02T00:00:00Z",
     "produced_file": {"path": "/v/film-high.mp4"}},
    {"id": 4, "uid": 1002, "file_id": 7, "state": "error", "error": 5,
     "create_time": "2024-01-04T00:00:00Z"}]})";

class ConversionApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(db_.Import(kDoc), ""); }
  videodb_test::TempDb db_;
};

TEST_F(ConversionApiTest, ListOrderAndParts) {
  OfflineConversionAPI all(0);
  EXPECT_EQ(Ids(all.List()), (std::vector<int>{2, 3, 1, 4}));
  all.OrderByCtime(BaseAPI::SORT_DESC);
  EXPECT_EQ(Ids(all.List()), (std::vector<int>{4, 1, 3, 2}));

  OfflineConversionAPI api(1001);
  api.with_video = true;  // without its poster's time
  ASSERT_TRUE(api.List()[1].setting.video);
  EXPECT_FALSE(api.List()[1].setting.video->additional.isMember("poster_mtime"));
  api.with_file = api.with_produced_file = api.with_poster_mtime = true;
  const auto tasks = api.List();
  ASSERT_EQ(Ids(tasks), (std::vector<int>{2, 3, 1}));
  EXPECT_EQ(tasks[0].setting.file.path, "/v/ep.mkv");
  ASSERT_TRUE(tasks[0].setting.video);
  EXPECT_EQ(tasks[0].setting.video->type_name(), "tvshow_episode");
  EXPECT_EQ(tasks[0].setting.video->AsJson()["season"].asInt(), 1);
  EXPECT_EQ(tasks[0].setting.produced_file.id, 0);  // not produced yet
  ASSERT_TRUE(tasks[1].setting.video);
  EXPECT_EQ(tasks[1].setting.video->title, "Film");
  EXPECT_EQ(tasks[1].setting.produced_file.path, "/v/film-high.mp4");
  EXPECT_EQ(tasks[1].setting.file.duration, 7);

  // A failed task restarts from the beginning.
  EXPECT_TRUE(OfflineConversionAPI(1002).RestartAll());
  const auto restarted = OfflineConversionAPI(1002).List()[0].status;
  EXPECT_EQ(restarted.GetStatusString(), "waiting");
  EXPECT_EQ(restarted.error(), 0);
}

}  // namespace
