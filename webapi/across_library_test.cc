#include "webapi/across_library.h"

#include <syslog.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/testing/syslog_recorder.h"
#include "tests/fakes/api_call.h"
#include "tests/fakes/fake_plugin.h"
#include "tests/fakes/fake_videodb.h"
#include "webapi/entries.h"

namespace velmkr {
namespace webapi {
namespace {

using LibKinoro::db::record::Library;
using LibKinoro::db::record::Movie;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Library MakeLibrary(int id, const std::string& title, bool is_public) {
  Library library;
  library.id = id;
  library.title = title;
  library.type = "movie";
  library.is_public = is_public;
  return library;
}

class ListLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::ResetWorld(); }
};

TEST_F(ListLibraryTest, RejectsAnyPolicyButRecentlyAdded) {
  for (const char* params : {R"({})", R"({"policy": ""})", R"({"policy": "top_rating"})",
                             R"({"policy": "Recently_added"})", R"({"policy": "RECENTLY_ADDED"})",
                             R"({"policy": "recently_added "})", R"({"policy": 1})",
                             R"({"policy": ["recently_added"]})"}) {
    SCOPED_TRACE(params);
    fake::ResetWorld();
    fake::CallResult result = fake::Call(AcrossLibraryListLibrary_v1, fake::Params(params));
    EXPECT_FALSE(result.success);
    EXPECT_EQ(120, result.error_code);
    EXPECT_TRUE(result.data.isNull());
    EXPECT_TRUE(fake::World().as_user_calls.empty()) << "the library is not consulted";
  }
}

TEST_F(ListLibraryTest, ScopesTheQueryToTheLoginUser) {
  const struct {
    unsigned int uid;
    bool admin;
  } users[] = {{1026, false}, {1024, true}, {0, false}, {4294967295u, true}};
  for (const auto& user : users) {
    fake::ResetWorld();
    fake::CallResult result =
        fake::Call(AcrossLibraryListLibrary_v1, fake::Params(R"({"policy": "recently_added"})"),
                   user.uid, user.admin);
    ASSERT_TRUE(result.success);
    ASSERT_EQ(1u, fake::World().as_user_calls.size());
    EXPECT_EQ(user.uid, fake::World().as_user_calls[0].first);
    EXPECT_EQ(user.admin, fake::World().as_user_calls[0].second);
  }
}

TEST_F(ListLibraryTest, ListsInTheLibraryOrderWithTotal) {
  fake::World().libraries = {MakeLibrary(3, "Kids", false), MakeLibrary(1, "Films", true),
                             MakeLibrary(2, "Series", true)};
  fake::CallResult result =
      fake::Call(AcrossLibraryListLibrary_v1, fake::Params(R"({"policy": "recently_added"})"));
  ASSERT_TRUE(result.success);
  const Json::Value& libraries = result.data["libraries"];
  ASSERT_EQ(3u, libraries.size());
  EXPECT_EQ(3u, result.data["total"].asUInt());
  EXPECT_TRUE(result.data["total"].isUInt());
  EXPECT_EQ(3, libraries[0]["id"].asInt());
  EXPECT_EQ(1, libraries[1]["id"].asInt());
  EXPECT_EQ(2, libraries[2]["id"].asInt());
  EXPECT_EQ("Kids", libraries[0]["title"].asString());
  EXPECT_FALSE(libraries[0]["public"].asBool());
  EXPECT_EQ(2u, result.data.size()) << "only total and libraries";
}

TEST_F(ListLibraryTest, NoVisibleLibraryIsAnEmptySuccess) {
  fake::CallResult result =
      fake::Call(AcrossLibraryListLibrary_v1, fake::Params(R"({"policy": "recently_added"})"));
  ASSERT_TRUE(result.success);
  EXPECT_EQ(0u, result.data["total"].asUInt());
  EXPECT_TRUE(result.data["libraries"].isArray());
  EXPECT_EQ(0u, result.data["libraries"].size());
}

TEST_F(ListLibraryTest, IgnoresUnknownParameters) {
  fake::World().libraries = {MakeLibrary(1, "Films", true)};
  fake::CallResult result =
      fake::Call(AcrossLibraryListLibrary_v1,
                 fake::Params(R"({"policy": "recently_added", "offset": -5, "additional": 7})"));
  ASSERT_TRUE(result.success);
  EXPECT_EQ(1u, result.data["total"].asUInt());
}

// ---- list_movie -----------------------------------------------------------

Movie MakeMovie(int id, long long tmdb_id) {
  Movie movie;
  movie.id = id;
  movie.library_id = 1;
  movie.title = "Movie " + std::to_string(id);
  movie.tmdb_id = tmdb_id;
  return movie;
}

std::vector<int> MovieIds(const fake::CallResult& result) {
  std::vector<int> ids;
  for (const Json::Value& movie : result.data["movies"]) ids.push_back(movie["id"].asInt());
  return ids;
}

std::vector<std::string> QueryCalls() {
  std::vector<std::string> calls;
  for (const fake::VideoQuerySnapshot& query : fake::World().video_queries) {
    calls.push_back(query.call);
  }
  return calls;
}

class ListMovieTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::ResetWorld();
    fake::ResetPlugins();
    kinoro_testing::ClearSyslog();
    // Movie 1 (TMDb 500) and movies 2..6 (TMDb 1002..1006); the plug-in
    // ranks 1004, 500, 1002, 1006 and a title the database lacks. The
    // selection itself is tested with SimilarAPI; here only its wiring.
    fake::World().movies_by_id[1] = MakeMovie(1, 500);
    for (int id = 2; id <= 6; ++id) fake::World().tmdb_movies.push_back(MakeMovie(id, 1000 + id));
    fake::World().num_movies_with_tmdb = 6;
    std::vector<Json::Value> titles;
    for (long long tmdb : {1004LL, 500LL, 1002LL, 1006LL, 7777LL}) {
      titles.push_back(fake::TmdbTitle("t", Json::Int64(tmdb)));
    }
    fake::AddSimilarPlugin("rank", fake::RankedAnswer(titles));
    fake::World().top_rating = {MakeMovie(3, 1003), MakeMovie(1, 500), MakeMovie(2, 1002)};
  }

  static fake::CallResult List(const std::string& params, unsigned int uid = 1026,
                               bool admin = false) {
    return fake::Call(AcrossLibraryListMovie_v1, fake::Params(params), uid, admin);
  }
};

TEST_F(ListMovieTest, InvalidParametersAre120BeforeAnyQuery) {
  for (const char* params : {
           R"({})",
           R"({"limit": 3})",
           R"({"policy": "top_rating"})",
           R"({"policy": "tmdb_similar", "id": 1})",
           R"({"policy": "recently_added", "limit": 3})",
           R"({"policy": "Top_rating", "limit": 3})",
           R"({"policy": "top_rating ", "limit": 3})",
           R"({"policy": "", "limit": 3})",
           R"({"policy": ["top_rating"], "limit": 3})",
           R"({"policy": "top_rating", "limit": -1})",
           R"({"policy": "top_rating", "limit": "3"})",
           R"({"policy": "top_rating", "limit": 2.5})",
           R"({"policy": "top_rating", "limit": 2147483648})",
           // Checked whatever the policy, though only "tmdb_similar" uses them.
           R"({"policy": "top_rating", "limit": 3, "offset": -1})",
           R"({"policy": "top_rating", "limit": 3, "id": 0})",
           R"({"policy": "tmdb_similar", "limit": 3, "id": -4})",
           R"({"policy": "tmdb_similar", "limit": 3, "id": "1"})",
           R"({"policy": "tmdb_similar", "limit": 3, "id": 1, "offset": true})",
       }) {
    SCOPED_TRACE(params);
    SetUp();
    const fake::CallResult result = List(params);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(120, result.error_code);
    EXPECT_TRUE(result.data.isNull());
    EXPECT_THAT(QueryCalls(), IsEmpty());
    EXPECT_THAT(fake::Plugins().calls, IsEmpty());
    EXPECT_THAT(kinoro_testing::SyslogLines(), IsEmpty());
  }
}

TEST_F(ListMovieTest, ScopesEveryQueryToTheLoginUser) {
  const struct {
    unsigned int uid;
    bool admin;
  } users[] = {{1026, false}, {1024, true}, {0, false}, {4294967295u, true}};
  for (const char* params : {R"({"policy": "top_rating", "limit": 2})",
                             R"({"policy": "tmdb_similar", "limit": 2, "id": 1})"}) {
    for (const auto& user : users) {
      SCOPED_TRACE(std::string(params) + " uid " + std::to_string(user.uid));
      SetUp();
      ASSERT_TRUE(List(params, user.uid, user.admin).success);
      ASSERT_THAT(fake::World().video_queries, ::testing::Not(IsEmpty()));
      for (const fake::VideoQuerySnapshot& query : fake::World().video_queries) {
        EXPECT_EQ(user.uid, query.uid) << query.call;
        EXPECT_EQ(user.admin, query.is_admin) << query.call;
      }
    }
  }
}

TEST_F(ListMovieTest, AdditionalSwitchesAreSetBeforeTheQuery) {
  const struct {
    const char* additional;
    bool summary, file, actor;
  } cases[] = {
      {"[]", false, false, false},
      {R"(["summary", "file", "actor", "file"])", true, true, true},
      // Keys the movie query does not know, and a wrong case, change nothing.
      {R"(["tvshow_summary", "sharing_info", "Summary", "no_such_key"])", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.additional);
    for (const char* policy : {"top_rating", "tmdb_similar"}) {
      SetUp();
      const std::string params = std::string(R"({"limit": 2, "id": 1, "policy": ")") + policy +
                                 R"(", "additional": )" + c.additional + "}";
      ASSERT_TRUE(List(params).success) << policy;
      ASSERT_THAT(fake::World().video_queries, ::testing::Not(IsEmpty()));
      for (const fake::VideoQuerySnapshot& query : fake::World().video_queries) {
        EXPECT_EQ(c.summary, query.with_summary) << query.call;
        EXPECT_EQ(c.file, query.with_file) << query.call;
        EXPECT_EQ(c.actor, query.with_actor) << query.call;
        EXPECT_FALSE(query.with_poster_mtime);
      }
    }
  }
}

TEST_F(ListMovieTest, BadAdditionalIsLogged101WithoutAQuery) {
  for (const char* additional :
       {R"(["file", 1])", R"([null])", R"([["file"]])", R"("file")", R"({"file": true})", "5"}) {
    SCOPED_TRACE(additional);
    for (const char* policy : {"top_rating", "tmdb_similar"}) {
      SetUp();
      const std::string params = std::string(R"({"limit": 2, "id": 1, "policy": ")") + policy +
                                 R"(", "additional": )" + additional + "}";
      const fake::CallResult result = List(params);
      EXPECT_FALSE(result.success);
      EXPECT_EQ(101, result.error_code);
      EXPECT_TRUE(result.data.isNull());
      EXPECT_THAT(kinoro_testing::SyslogLines(), ElementsAre(kinoro_testing::SyslogLine{
                                                     LOG_ERR, "across_library:77 bad additional"}));
      EXPECT_THAT(QueryCalls(), IsEmpty());
      EXPECT_THAT(fake::Plugins().calls, IsEmpty());
    }
  }
}

TEST_F(ListMovieTest, TopRatingPassesTheLimitAndKeepsTheOrder) {
  const struct {
    const char* params;
    int limit;
    std::vector<int> ids;
  } cases[] = {
      {R"({"policy": "top_rating", "limit": 2})", 2, {3, 1}},
      {R"({"policy": "top_rating", "limit": 50})", 50, {3, 1, 2}},
      {R"({"policy": "top_rating", "limit": 0})", 0, {}},
      // "offset" and "id" belong to the other policy.
      {R"({"policy": "top_rating", "limit": 3, "offset": 2, "id": 2})", 3, {3, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    SetUp();
    const fake::CallResult result = List(c.params);
    ASSERT_TRUE(result.success);
    EXPECT_EQ(c.ids, MovieIds(result));
    EXPECT_THAT(fake::World().top_rating_limits, ElementsAre(c.limit));
    EXPECT_THAT(QueryCalls(), ElementsAre("ListTopRating"));
    EXPECT_THAT(fake::Plugins().calls, IsEmpty());
  }
}

TEST_F(ListMovieTest, MoviesAreTheRecordFormWithSharePaths) {
  Movie plain = MakeMovie(3, 1003);
  Movie with_files = MakeMovie(4, 1004);
  with_files.additional["summary"] = "text";
  with_files.additional["file"][0]["path"] = "/volume1/media/films/a.mkv";
  with_files.additional["file"][1]["path"] = "/volume1/other/b.mkv";
  with_files.additional["file"][1]["sharepath"] = "stale";
  fake::World().top_rating = {plain, with_files};
  fake::World().share_path_by_vol = [](const std::string& path) -> std::string {
    const std::string root = "/volume1/media/";
    return path.compare(0, root.size(), root) == 0 ? path.substr(8) : "";
  };

  const fake::CallResult result = List(R"({"policy": "top_rating", "limit": 5})");
  ASSERT_TRUE(result.success);
  EXPECT_EQ(1u, result.data.size()) << "only \"movies\"";
  const Json::Value& movies = result.data["movies"];
  ASSERT_EQ(2u, movies.size());

  Json::Value expected = plain.AsJson();
  expected["additional"] = Json::Value();  // gained, and left null
  EXPECT_EQ(expected, movies[0]);

  const Json::Value& files = movies[1]["additional"]["file"];
  ASSERT_EQ(2u, files.size());
  EXPECT_EQ("/media/films/a.mkv", files[0]["sharepath"].asString());
  EXPECT_EQ("", files[1]["sharepath"].asString()) << "outside every share; replaced";
  EXPECT_EQ("text", movies[1]["additional"]["summary"].asString());
  EXPECT_EQ(1004, movies[1]["tmdb_id"].asInt64());
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
