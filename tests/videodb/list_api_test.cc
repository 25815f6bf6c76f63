// The listing access objects against a real temporary database. The
// module's list tests pin who sees which library and movie, the orders and
// the file and summary parts; here is what they cannot see.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "platform/videodb/generator.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::api::LibraryAPI;
using LibKinoro::db::api::MovieAPI;
using LibKinoro::db::record::Movie;
using videodb_test::Ids;
using videodb_test::TempDb;

// An episode's creation time counts for its show's library (3 is newest);
// libraries without videos come last by id, equal times tie by id; uid 0
// without the flag is a stranger. Users are listed by uid.
TEST(LibraryApiTest, OrderScopeAndUsers) {
  TempDb db;
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
  ASSERT_EQ(Ids(libraries), (std::vector<int>{3, 2, 8, 7, 9}));
  EXPECT_EQ(libraries[2].users, (std::vector<unsigned int>{1001, 1002}));
  EXPECT_EQ(libraries[0].type, "tvshow");
  EXPECT_TRUE(libraries[0].is_public);
  EXPECT_FALSE(libraries[2].is_public);
}

// Library 1 is private to 1001, 2 public, 3 private to nobody.
const char kDoc[] = R"({
  "libraries": [{"id": 1, "users": [1001]}, {"id": 2, "public": true}, {"id": 3}],
  "movies": [
    {"id": 3, "library_id": 1, "title": "Three", "rating": 9.0, "tmdb_id": 300,
     "create_time": "2024-01-01T00:00:00Z", "summary": "third",
     "actors": ["Zed", "Amy"], "directors": ["Dee"], "writers": ["Wu"],
     "genres": ["Drama", "Action"], "tags": ["heist"], "collection": "Saga",
     "imdb_id": "tt3", "tagline": "go",
     "files": [{"id": 31, "path": "/v/m/three-b.mkv", "size": 20, "duration": 100},
               {"id": 30, "path": "/v/m/three-a.mkv", "size": 10, "duration": 50}],
     "watched": {"1001": 25, "1002": 500}},
    {"id": 6, "library_id": 2, "title": "Six", "tmdb_id": 600},
    {"id": 7, "library_id": 3, "title": "Hidden", "rating": 9.5, "tmdb_id": 700}
  ],
  "conversion_tasks": [
    {"id": 1, "uid": 1001, "file_id": 30, "state": "done",
     "produced_file": {"path": "/v/m/three-low.mp4", "size": 5, "duration": 50}},
    {"id": 2, "uid": 1001, "file_id": 31, "state": "converting"}
  ]
})";

MovieAPI As(unsigned int uid, bool admin) {
  MovieAPI api;
  api.uid = uid;
  api.is_admin = admin;
  return api;
}

// Every field and part of a record.
TEST(MovieApiTest, RecordFieldsAndEachSwitchLoadsItsPart) {
  TempDb db;
  ASSERT_EQ(db.Import(kDoc), "");
  MovieAPI api = As(1001, false);
  const std::vector<Movie> top = api.ListTopRating(1);
  ASSERT_EQ(top.size(), 1u);
  // No part without its switch.
  EXPECT_EQ(top[0].AsJson(), videodb_test::ParseJson(R"({"id": 3, "type": "movie",
      "title": "Three", "sort_title": "Three", "library_id": 1, "mapper_id": 1,
      "create_time": "2024-01-01T00:00:00Z", "rating": 9.0, "tmdb_id": 300, "imdb_id": "tt3",
      "certificate": "", "original_available": ""})"));
  EXPECT_TRUE(api.ListTopRating(-4).empty());

  api.with_summary = api.with_file = api.with_actor = api.with_director = api.with_writer =
      api.with_genre = api.with_extra = api.with_collection = api.with_watched_ratio =
          api.with_conversion_produced = api.with_poster_mtime = api.with_backdrop_mtime = true;
  // Files by id, people in billing order; 25 s watched of the first file's
  // 50 s; no poster or backdrop.
  EXPECT_EQ(api.GetInfo(3).AsJson()["additional"], videodb_test::ParseJson(R"({
      "summary": "third", "actor": ["Zed", "Amy"], "director": ["Dee"], "writer": ["Wu"],
      "genre": ["Drama", "Action"], "collection": [{"id": 1, "title": "Saga"}],
      "extra": {"tag": ["heist"], "tagline": "go", "com.velmora.TheMovieDb": {
          "rating": {"themoviedb": 9.0}, "reference": {"imdb": "tt3", "themoviedb": 300}}},
      "file": [{"id": 30, "path": "/v/m/three-a.mkv", "size": 10, "duration": 50.0},
               {"id": 31, "path": "/v/m/three-b.mkv", "size": 20, "duration": 100.0}],
      "conversion_produced": [{"id": 1, "path": "/v/m/three-low.mp4", "size": 5,
                               "duration": 50.0}],
      "watched_ratio": 0.5, "poster_mtime": "", "backdrop_mtime": ""})"));

  // Another user's position is theirs; one past the end is clamped.
  MovieAPI other = As(1002, true);
  other.with_watched_ratio = other.with_file = other.with_actor = true;
  EXPECT_DOUBLE_EQ(other.GetInfo(3).additional["watched_ratio"].asDouble(), 1.0);
  other.uid = 77;
  EXPECT_DOUBLE_EQ(other.GetInfo(3).additional["watched_ratio"].asDouble(), 0.0);
  // Empty parts are empty lists, not missing; an administrator sees every
  // library (the module's tests see a private movie refused).
  const Json::Value six = other.GetInfo(6).AsJson()["additional"];
  EXPECT_EQ(six, videodb_test::ParseJson(R"({"file": [], "actor": [], "watched_ratio": 0.0})"));
  EXPECT_TRUE(other.GetInfo(7).IsValid());
  EXPECT_FALSE(other.GetInfo(0).IsValid());
  EXPECT_FALSE(As(5, false).GetInfo(3).IsValid());
}

int CountStatements(unsigned, void* counter, void*, void*) {
  ++*static_cast<int*>(counter);
  return 0;
}

// The number of statements a listing runs must not grow with the page.
TEST(MovieApiBatchTest, PartsCostTheSameNumberOfQueriesForAnyPageSize) {
  TempDb db;
  LibKinoro::db::internal::GenerateOptions options;
  options.movies = 40;
  std::string error;
  ASSERT_TRUE(LibKinoro::db::internal::Generate(LibKinoro::db::internal::Connection::Get(), options,
                                                &error))
      << error;
  auto statements_for = [](int limit) {
    MovieAPI api;
    api.is_admin = true;
    api.with_file = api.with_actor = api.with_genre = api.with_summary = api.with_poster_mtime =
        true;
    sqlite3* handle = LibKinoro::db::internal::Connection::Get()->handle();
    int count = 0;
    sqlite3_trace_v2(handle, SQLITE_TRACE_STMT, CountStatements, &count);
    size_t got = api.ListTopRating(limit).size();
    sqlite3_trace_v2(handle, 0, nullptr, nullptr);
    EXPECT_EQ(got, static_cast<size_t>(limit));
    return count;
  };
  EXPECT_EQ(statements_for(2), statements_for(30));
}

}  // namespace
