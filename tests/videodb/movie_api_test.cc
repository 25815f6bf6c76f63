// MovieAPI against a real temporary database: the optional parts, and what
// the module cannot ask.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::api::MovieAPI;
using LibKinoro::db::record::Movie;
using videodb_test::TempDb;

// Library 1 is private to 1001, 2 public, 3 private to nobody. Movies 3
// and 4 rate 9.0, 4 is newer; 6 is unrated; 7 sits in library 3.
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
    {"id": 4, "library_id": 2, "title": "Four", "rating": 9.0, "tmdb_id": 300,
     "create_time": "2024-02-01T00:00:00Z", "collection": "Saga"},
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

class MovieApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(db_.Import(kDoc), ""); }
  TempDb db_;
};

// The module's list tests pin the order and scope of the listings, and the
// file and summary parts; here every other part and field of a record.
TEST_F(MovieApiTest, RecordFieldsAndEachSwitchLoadsItsPart) {
  MovieAPI api = As(1001, false);
  const std::vector<Movie> top = api.ListTopRating(2);
  ASSERT_EQ(top.size(), 2u);
  const Movie& plain = top[1];
  EXPECT_EQ(plain.title, "Three");
  EXPECT_EQ(plain.library_id, 1);
  EXPECT_GT(plain.mapper_id, 0);
  EXPECT_EQ(plain.create_time, "2024-01-01T00:00:00Z");
  EXPECT_EQ(plain.AsJson()["type"].asString(), "movie");
  EXPECT_FALSE(plain.AsJson().isMember("additional")) << "no part without its switch";
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
  other.with_watched_ratio = true;
  EXPECT_DOUBLE_EQ(other.GetInfo(3).additional["watched_ratio"].asDouble(), 1.0);
  other.uid = 77;
  EXPECT_DOUBLE_EQ(other.GetInfo(3).additional["watched_ratio"].asDouble(), 0.0);
}

// Empty parts are empty lists, not missing; an administrator sees every
// library (the module's tests see a private movie refused).
TEST_F(MovieApiTest, GetInfoEmptyPartsAndScope) {
  MovieAPI api = As(0, true);
  api.with_file = api.with_actor = true;
  Movie six = api.GetInfo(6);
  ASSERT_TRUE(six.IsValid());
  EXPECT_EQ(six.additional["file"], Json::Value(Json::arrayValue));
  EXPECT_EQ(six.additional["actor"], Json::Value(Json::arrayValue));
  EXPECT_FALSE(six.additional.isMember("summary"));
  EXPECT_FALSE(As(5, false).GetInfo(3).IsValid());
  EXPECT_TRUE(As(0, true).GetInfo(7).IsValid());
  EXPECT_FALSE(As(0, true).GetInfo(0).IsValid());
}

int CountStatements(unsigned, void* counter, void*, void*) {
  ++*static_cast<int*>(counter);
  return 0;
}

// The number of statements a listing runs must not grow with the page.
TEST(MovieApiBatchTest, PartsCostTheSameNumberOfQueriesForAnyPageSize) {
  TempDb db;
  std::string doc = R"({"libraries": [{"id": 1, "public": true}], "movies": [)";
  for (int i = 1; i <= 40; ++i) {
    doc += (i > 1 ? "," : "") + std::string("{\"library_id\": 1, \"rating\": ") +
           std::to_string(i % 10) + ", \"actors\": [\"a" + std::to_string(i) +
           "\"], \"genres\": [\"g\"], \"files\": [{\"path\": \"/v/" + std::to_string(i) + "\"}]}";
  }
  ASSERT_EQ(db.Import(doc + "]}"), "");
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
