// LibraryAPI against a real temporary database. The module's list tests pin
// who sees which library and the order for ordinary libraries; here are the
// cases its document does not hold.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::api::LibraryAPI;
using videodb_test::Ids;

// An episode's creation time counts for its show's library (3 is newest);
// libraries without videos come last by id, equal times tie by id; uid 0
// without the flag is a stranger. Users are listed by uid.
TEST(LibraryApiTest, OrderScopeAndUsers) {
  videodb_test::TempDb db;
  ASSERT_EQ(db.Import(R"({
    "libraries": [{"id": 9, "public": true}, {"id": 7, "public": true},
                  {"id": 8, "users": [1002, 1001]}, {"id": 2, "public": true},
                  {"id": 3, "type": "tvshow", "public": true}],
    "movies": [{"library_id": 8, "create_time": "2024-01-01T00:00:00Z"},
               {"library_id": 2, "create_time": "2024-01-01T00:00:00Z"}],
    "tvshows": [{"library_id": 3, "create_time": "2020-01-01T00:00:00Z",
                 "episodes": [{"create_time": "2024-03-01T00:00:00Z"}]}]})"),
            "");
  LibraryAPI api;
  api.AsUser(0, false);
  EXPECT_EQ(Ids(api.ListOrderByVideoCTime()), (std::vector<int>{3, 2, 7, 9}));
  api.AsUser(1001, false);
  const std::vector<LibKinoro::db::record::Library> libraries = api.ListOrderByVideoCTime();
  EXPECT_EQ(Ids(libraries), (std::vector<int>{3, 2, 8, 7, 9}));
  ASSERT_EQ(libraries.size(), 5u);
  EXPECT_EQ(libraries[2].users, (std::vector<unsigned int>{1001, 1002}));
  EXPECT_EQ(libraries[0].type, "tvshow");
  EXPECT_TRUE(libraries[0].is_public);
  EXPECT_FALSE(libraries[2].is_public);
}

// Only the tools create a database: the access objects the module's fault
// tests do not reach find nothing instead, and leave no file behind.
TEST(LibraryApiTest, ConversionAccessNeverCreatesTheDatabase) {
  videodb_test::TempDb db;
  const std::string absent = db.dir() + "/absent.db";
  LibKinoro::db::SetDatabasePath(absent);
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
