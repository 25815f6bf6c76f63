// MovieAPI against a real temporary database: ordering, user scope and the
// optional parts.
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
using videodb_test::Ids;
using videodb_test::TempDb;

// Library 1 is private to 1001, 2 public, 3 private to nobody.
// Visible ratings: 9.0 (ids 3 and 4, 4 newer), 8.0 (ids 2 and 5, same
// time), 7.0 (id 1), unrated (id 6); id 7 (9.5) sits in library 3.
const char kDoc[] = R"({
  "libraries": [{"id": 1, "users": [1001]}, {"id": 2, "public": true}, {"id": 3}],
  "movies": [
    {"id": 1, "library_id": 2, "title": "One", "rating": 7.0, "tmdb_id": 100,
     "create_time": "2024-01-01T00:00:00Z"},
    {"id": 2, "library_id": 2, "title": "Two", "rating": 8.0, "tmdb_id": 0,
     "create_time": "2024-01-01T00:00:00Z"},
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
    {"id": 5, "library_id": 1, "title": "Five", "rating": 8.0,
     "create_time": "2024-01-01T00:00:00Z"},
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

TEST_F(MovieApiTest, TopRatingOrderScopeAndLimit) {
  struct Case {
    const char* who;
    unsigned int uid;
    bool admin;
    int limit;
    std::vector<int> expected;
  } cases[] = {
      {"admin", 0, true, 10, {7, 4, 3, 2, 5, 1, 6}},
      {"named user", 1001, false, 10, {4, 3, 2, 5, 1, 6}},
      {"stranger", 5, false, 10, {4, 2, 1, 6}},
      {"limit cuts", 1001, false, 3, {4, 3, 2}},
      {"limit 0", 0, true, 0, {}},
      {"negative limit", 0, true, -4, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ids(As(c.uid, c.admin).ListTopRating(c.limit)), c.expected) << c.who;
  }
}

TEST_F(MovieApiTest, RecordFieldsAndEachSwitchLoadsItsPart) {
  MovieAPI api = As(1001, false);
  const std::vector<Movie> top = api.ListTopRating(2);
  ASSERT_EQ(top.size(), 2u);
  const Movie& plain = top[1];
  EXPECT_EQ(plain.title, "Three");
  EXPECT_EQ(plain.library_id, 1);
  EXPECT_GT(plain.mapper_id, 0);
  EXPECT_EQ(plain.tmdb_id, 300);
  EXPECT_EQ(plain.imdb_id, "tt3");
  EXPECT_DOUBLE_EQ(plain.rating, 9.0);
  EXPECT_EQ(plain.create_time, "2024-01-01T00:00:00Z");
  EXPECT_EQ(plain.AsJson()["type"].asString(), "movie");
  EXPECT_FALSE(plain.AsJson().isMember("additional")) << "no part without its switch";

  api.with_summary = api.with_file = api.with_actor = api.with_director = api.with_writer =
      api.with_genre = api.with_extra = api.with_collection = api.with_watched_ratio =
          api.with_conversion_produced = api.with_poster_mtime = api.with_backdrop_mtime = true;
  Movie three = api.GetInfo(3);
  ASSERT_TRUE(three.IsValid());
  const Json::Value a = three.AsJson()["additional"];
  EXPECT_EQ(a["summary"].asString(), "third");
  ASSERT_EQ(a["file"].size(), 2u);
  EXPECT_EQ(a["file"][0]["id"].asInt(), 30);  // by file id
  EXPECT_EQ(a["file"][0]["path"].asString(), "/v/m/three-a.mkv");
  EXPECT_EQ(a["file"][1]["size"].asInt64(), 20);
  EXPECT_EQ(a["actor"], videodb_test::ParseJson(R"(["Zed", "Amy"])"));  // billing order
  EXPECT_EQ(a["director"], videodb_test::ParseJson(R"(["Dee"])"));
  EXPECT_EQ(a["writer"], videodb_test::ParseJson(R"(["Wu"])"));
  EXPECT_EQ(a["genre"], videodb_test::ParseJson(R"(["Drama", "Action"])"));
  EXPECT_EQ(a["extra"]["tag"], videodb_test::ParseJson(R"(["heist"])"));
  EXPECT_EQ(a["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"].asInt64(), 300);
  EXPECT_EQ(a["collection"][0]["title"].asString(), "Saga");
  // 25 s watched of the first file's 50 s.
  EXPECT_DOUBLE_EQ(a["watched_ratio"].asDouble(), 0.5);
  ASSERT_EQ(a["conversion_produced"].size(), 1u);
  EXPECT_EQ(a["conversion_produced"][0]["path"].asString(), "/v/m/three-low.mp4");
  EXPECT_EQ(a["poster_mtime"].asString(), "");  // no poster
  EXPECT_EQ(a["backdrop_mtime"].asString(), "");

  // Another user's position is theirs; one past the end is clamped.
  MovieAPI other = As(1002, true);
  other.with_watched_ratio = true;
  EXPECT_DOUBLE_EQ(other.GetInfo(3).additional["watched_ratio"].asDouble(), 1.0);
  other.uid = 77;
  EXPECT_DOUBLE_EQ(other.GetInfo(3).additional["watched_ratio"].asDouble(), 0.0);
}

TEST_F(MovieApiTest, GetInfoHonoursScopeAndEmptyPartsAreEmptyNotMissing) {
  MovieAPI api = As(0, true);
  api.with_file = api.with_actor = true;
  Movie six = api.GetInfo(6);
  ASSERT_TRUE(six.IsValid());
  EXPECT_EQ(six.additional["file"], Json::Value(Json::arrayValue));
  EXPECT_EQ(six.additional["actor"], Json::Value(Json::arrayValue));
  EXPECT_FALSE(six.additional.isMember("summary"));
  EXPECT_TRUE(As(1001, false).GetInfo(3).IsValid());
  EXPECT_FALSE(As(5, false).GetInfo(3).IsValid());
  EXPECT_FALSE(As(1001, false).GetInfo(7).IsValid());
  EXPECT_TRUE(As(0, true).GetInfo(7).IsValid());
  EXPECT_FALSE(As(0, true).GetInfo(99).IsValid());
  EXPECT_FALSE(As(0, true).GetInfo(0).IsValid());
}

TEST_F(MovieApiTest, CountsMoviesWithTmdbIdZeroIncluded) {
  EXPECT_EQ(As(0, true).GetNumMoviesWithTMDbID(), 6);  // all but 5
  EXPECT_EQ(As(1001, false).GetNumMoviesWithTMDbID(), 5);
  EXPECT_EQ(As(5, false).GetNumMoviesWithTMDbID(), 4);  // 1, 2, 4, 6
}

TEST_F(MovieApiTest, ListInTMDbKeepsTheGivenOrderAndEachMovieOnce) {
  struct Case {
    const char* what;
    unsigned int uid;
    bool admin;
    std::vector<long long> tmdb_ids;
    std::vector<int> expected;
  } cases[] = {
      {"given order", 0, true, {600, 100, 0}, {6, 1, 2}},
      {"shared id: both movies, by id", 1001, false, {300}, {3, 4}},
      {"repeated id", 0, true, {100, 600, 100}, {1, 6}},
      {"unknown and invisible ids", 5, false, {999, 700, 300, -1}, {4}},
      {"none", 0, true, {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ids(As(c.uid, c.admin).ListInTMDb(c.tmdb_ids)), c.expected) << c.what;
  }
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
