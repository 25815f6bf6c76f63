// LibraryAPI against a real temporary database: who sees which library, and
// in which order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::api::LibraryAPI;
using LibKinoro::db::record::Library;
using videodb_test::Ids;
using videodb_test::TempDb;

// Libraries 1..5: private to 1001; private to 1001 and 1002; public; private
// to nobody; public and empty. Newest video: 2 (2024-05), 3 (2024-03),
// 1 (2024-01); 4 and 5 have none.
const char kDoc[] = R"({
  "libraries": [
    {"id": 1, "title": "Mine", "type": "movie", "users": [1001]},
    {"id": 2, "title": "Shared", "type": "movie", "users": [1001, 1002]},
    {"id": 3, "title": "Public", "type": "tvshow", "public": true},
    {"id": 4, "title": "Nobody", "type": "home_video"},
    {"id": 5, "title": "Empty public", "type": "movie", "public": true}
  ],
  "movies": [
    {"id": 1, "library_id": 1, "title": "Old", "create_time": "2024-01-01T00:00:00Z"},
    {"id": 2, "library_id": 2, "title": "New", "create_time": "2024-05-01T00:00:00Z"},
    {"id": 3, "library_id": 2, "title": "Older", "create_time": "2023-01-01T00:00:00Z"}
  ],
  "tvshows": [
    {"id": 1, "library_id": 3, "title": "Show", "create_time": "2020-01-01T00:00:00Z",
     "episodes": [{"id": 1, "title": "Pilot", "create_time": "2024-03-01T00:00:00Z"}]}
  ]
})";

TEST(LibraryApiTest, ScopeAndOrderPerUser) {
  TempDb db;
  ASSERT_EQ(db.Import(kDoc), "");
  struct Case {
    const char* who;
    unsigned int uid;
    bool admin;
    std::vector<int> expected;
  } cases[] = {
      // An episode's creation time counts for its show's library.
      {"administrator", 1, true, {2, 3, 1, 4, 5}},
      {"named in two libraries", 1001, false, {2, 3, 1, 5}},
      {"named in one library", 1002, false, {2, 3, 5}},
      {"stranger", 4242, false, {3, 5}},
      {"uid 0 without the flag", 0, false, {3, 5}},
  };
  for (const Case& c : cases) {
    LibraryAPI api;
    api.AsUser(c.uid, c.admin);
    EXPECT_EQ(Ids(api.ListOrderByVideoCTime()), c.expected) << c.who;
  }
  LibraryAPI api;
  api.AsUser(1, true);
  const std::vector<Library> libraries = api.ListOrderByVideoCTime();
  ASSERT_EQ(libraries.size(), 5u);
  EXPECT_EQ(libraries[0].title, "Shared");
  EXPECT_EQ(libraries[0].type, "movie");
  EXPECT_EQ(libraries[0].users, (std::vector<unsigned int>{1001, 1002}));
  EXPECT_TRUE(libraries[1].is_public);
}

TEST(LibraryApiTest, LibrariesWithoutVideosComeLastByIdAndSameTimesTieById) {
  TempDb db;
  ASSERT_EQ(db.Import(R"({
    "libraries": [{"id": 9, "public": true}, {"id": 7, "public": true},
                  {"id": 8, "public": true}, {"id": 3, "public": true}],
    "movies": [{"library_id": 8, "create_time": "2024-01-01T00:00:00Z"},
               {"library_id": 3, "create_time": "2024-01-01T00:00:00Z"}]
  })"),
            "");
  LibraryAPI api;
  api.AsUser(5, false);
  EXPECT_EQ(Ids(api.ListOrderByVideoCTime()), (std::vector<int>{3, 8, 7, 9}));
}

// An empty database has no libraries. Only the tools create a database: no
// access object does, not even when it queries; they find nothing instead.
TEST(LibraryApiTest, AccessObjectsNeverCreateTheDatabase) {
  TempDb db;
  LibraryAPI empty;
  empty.AsUser(1, true);
  EXPECT_TRUE(empty.ListOrderByVideoCTime().empty());
  const std::string absent = db.dir() + "/absent.db";
  LibKinoro::db::SetDatabasePath(absent);
  LibraryAPI library;
  library.AsUser(1, true);
  EXPECT_TRUE(library.ListOrderByVideoCTime().empty());
  LibKinoro::db::api::MovieAPI movie;
  EXPECT_TRUE(movie.ListTopRating(5).empty());
  LibKinoro::db::api::BackdropAPI backdrop;
  EXPECT_EQ(backdrop.DeleteAll(1), 0);
  LibKinoro::db::api::OfflineConversionAPI conversion(0);
  EXPECT_TRUE(conversion.List().empty());
  LibKinoro::db::record::OfflineConversionSetting setting;
  setting.file_id = 1;
  setting.set_video_profile("high");
  EXPECT_LE(conversion.Create(setting), 0);
  EXPECT_FALSE(conversion.Delete({1}));
  EXPECT_FALSE(conversion.StopAll());
  EXPECT_FALSE(conversion.RestartAll());
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_NE(access((absent + suffix).c_str(), F_OK), 0) << suffix;
  }
}

}  // namespace
