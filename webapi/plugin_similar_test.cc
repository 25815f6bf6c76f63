#include "webapi/plugin_similar.h"

#include <syslog.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/testing/syslog_recorder.h"
#include "tests/fakes/fake_plugin.h"
#include "tests/fakes/fake_videodb.h"

namespace velmkr {
namespace webapi {
namespace {

using LibKinoro::db::record::Movie;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

Movie MakeMovie(int id, long long tmdb_id) {
  Movie movie;
  movie.id = id;
  movie.title = "Movie " + std::to_string(id);
  movie.tmdb_id = tmdb_id;
  return movie;
}

std::vector<int> MovieIds(const std::vector<Movie>& movies) {
  std::vector<int> ids;
  for (const Movie& movie : movies) ids.push_back(movie.id);
  return ids;
}

std::vector<unsigned long> AskedCounts() {
  std::vector<unsigned long> counts;
  for (const fake::PluginLookup& lookup : fake::Plugins().lookups) counts.push_back(lookup.limit);
  return counts;
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

VELM::APIParameter<int> Param(int value) { return VELM::APIParameter<int>(true, false, value); }
VELM::APIParameter<int> Unset() { return VELM::APIParameter<int>(false, false, 0); }

class PluginSimilarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::ResetWorld();
    fake::ResetPlugins();
    kinoro_testing::ClearSyslog();
  }
};

// ---- The plug-in query ----------------------------------------------------

using QueryPluginsTest = PluginSimilarTest;

TEST_F(QueryPluginsTest, NoPluginServesSimilarGivesAnEmptyArray) {
  fake::AddSimilarPlugin("other", fake::FixedAnswer(Parse(R"([{"title": "A"}])")),
                         /*ranked=*/false);
  fake::Plugins().conf["priority"]["movie"]["search"].append("other");
  const Json::Value result = GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 1})"), 10);
  EXPECT_TRUE(result.isArray());
  EXPECT_EQ(0u, result.size());
  EXPECT_THAT(fake::Plugins().lookups, IsEmpty());
}

TEST_F(QueryPluginsTest, SendsTheMovieTypeLanguageAndOnlyTheKnownMembers) {
  fake::AddSimilarPlugin("a", fake::FixedAnswer(Json::Value(Json::arrayValue)));
  GetSimilarMoviesFromPlugin(Parse(R"({"title": "Alien", "original_available": "1979-05-25",
      "tmdb_id": 348, "summary": "In space.", "path": "/volume1/a.mkv"})"),
                             7);
  GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 9007199254740993})"), 3);

  const fake::PluginWorld& w = fake::Plugins();
  ASSERT_EQ(2u, w.priority_calls.size());
  EXPECT_EQ("movie", w.priority_calls[0].type);
  EXPECT_EQ("", w.priority_calls[0].lang) << "every plug-in, whatever its languages";
  EXPECT_EQ("similar", w.priority_calls[0].action);
  EXPECT_EQ(w.conf, w.priority_calls[0].conf) << "the configuration just loaded";

  ASSERT_EQ(2u, w.lookups.size());
  EXPECT_EQ("movie", w.lookups[0].type);
  EXPECT_EQ("enu", w.lookups[0].lang);
  EXPECT_TRUE(w.lookups[0].with_settings);
  EXPECT_EQ(7u, w.lookups[0].limit);
  EXPECT_EQ(Parse(R"({"title": "Alien", "original_available": "1979-05-25", "tmdb_id": 348})"),
            w.lookups[0].request);
  EXPECT_EQ(9007199254740993LL, w.lookups[1].request["tmdb_id"].asInt64())
      << "a 64-bit id is copied unchanged";
  EXPECT_EQ(1u, w.lookups[1].request.size());
  // Nothing is cached: each call loads the configuration and the folder.
  EXPECT_EQ(2, w.conf_loads);
  EXPECT_EQ(2, w.folder_loads);
  EXPECT_THAT(w.calls, ElementsAre("conf", "priority", "folder", "lookup a", "conf", "priority",
                                   "folder", "lookup a"));
}

TEST_F(QueryPluginsTest, UnknownPluginIdIsSkippedSilently) {
  fake::AddSimilarPlugin("a", fake::FixedAnswer(Parse(R"([{"title": "A"}])")));
  fake::Plugins().conf["priority"]["movie"]["similar"] = Parse(R"(["ghost", "a", "ghost2"])");
  const Json::Value result = GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 1})"), 10);
  EXPECT_EQ(Parse(R"([{"title": "A"}])"), result);
  ASSERT_EQ(1u, fake::Plugins().lookups.size());
  EXPECT_EQ("a", fake::Plugins().lookups[0].id);
  EXPECT_THAT(kinoro_testing::SyslogLines(), IsEmpty());
}

TEST_F(QueryPluginsTest, EachPluginIsAskedForWhatIsStillWanted) {
  const struct {
    const char* name;
    int limit;
    std::vector<int> sizes;  // titles each plug-in answers, whatever it is asked
    std::vector<unsigned long> asked;
  } cases[] = {
      {"two then three", 4, {2, 3}, {4, 2}},
      {"limit reached, later ones still asked for none", 3, {3, 1, 2}, {3, 0, 0}},
      {"first answers more than asked", 2, {5, 1}, {2, 0}},
      {"empty answers leave the count", 5, {0, 1, 0}, {5, 5, 4}},
      {"limit 0", 0, {1}, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::ResetPlugins();
    int total = 0;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      Json::Value answer(Json::arrayValue);
      for (int k = 0; k < c.sizes[i]; ++k) {
        answer.append(fake::TmdbTitle("p" + std::to_string(i) + "t" + std::to_string(k), k + 1));
      }
      total += c.sizes[i];
      fake::AddSimilarPlugin("p" + std::to_string(i), fake::FixedAnswer(answer));
    }
    const Json::Value result = GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 1})"), c.limit);
    EXPECT_EQ(c.asked, AskedCounts());
    ASSERT_EQ(static_cast<unsigned>(total), result.size()) << "nothing is dropped";
    // Plug-in order first, each answer in its own order.
    Json::ArrayIndex n = 0;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      for (int k = 0; k < c.sizes[i]; ++k, ++n) {
        EXPECT_EQ("p" + std::to_string(i) + "t" + std::to_string(k), result[n]["title"].asString());
      }
    }
  }
}

TEST_F(QueryPluginsTest, KeepsUsableAnswersAndLogsUnusableOnes) {
  const struct {
    const char* name;
    const char* answer;
    int lookup_result;
    unsigned int kept;
    bool logged;
  } cases[] = {
      {"empty array", "[]", 0, 0, false},
      {"failed lookup", R"([{"title": "A"}])", -1, 0, false},
      {"empty string title is usable", R"([{"title": ""}, {"title": "B"}])", 0, 2, false},
      {"number title", R"([{"title": 0}])", 0, 1, false},
      {"false title", R"([{"title": false}])", 0, 1, false},
      {"later titles are not examined", R"([{"title": "A"}, {"name": "B"}, 5])", 0, 3, false},
      {"first has no title", R"([{"name": "A"}, {"title": "B"}])", 0, 0, true},
      {"null title", R"([{"title": null}])", 0, 0, true},
      {"empty object title", R"([{"title": {}}])", 0, 0, true},
      {"first is an empty array", R"([[]])", 0, 0, true},
      {"first is a string", R"(["A"])", 0, 0, true},
      {"an object", R"({"title": "A"})", 0, 0, true},
      {"null", "null", 0, 0, true},
      {"text", R"("A")", 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::ResetPlugins();
    kinoro_testing::ClearSyslog();
    fake::AddSimilarPlugin("bad", fake::FixedAnswer(Parse(c.answer), c.lookup_result));
    fake::AddSimilarPlugin("good", fake::FixedAnswer(Parse(R"([{"title": "G"}])")));
    const Json::Value result = GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 1})"), 10);
    ASSERT_EQ(c.kept + 1, result.size()) << result;
    EXPECT_EQ("G", result[c.kept]["title"].asString()) << "the next plug-in is still asked";
    if (c.logged) {
      EXPECT_THAT(kinoro_testing::SyslogLines(),
                  ElementsAre(kinoro_testing::SyslogLine{
                      LOG_ERR, "plugin_similar:90 Invalid Result: bad, "}));
    } else {
      EXPECT_THAT(kinoro_testing::SyslogLines(), IsEmpty());
    }
  }
}

TEST_F(QueryPluginsTest, ResultIsEmptiedBetweenLookupsKeepingItsKind) {
  fake::AddSimilarPlugin("object", fake::FixedAnswer(Parse(R"({"x": 1})")));
  fake::AddSimilarPlugin("array", fake::FixedAnswer(Parse(R"([{"title": "A"}])")));
  fake::AddSimilarPlugin("text", fake::FixedAnswer(Parse(R"("oops")")));
  fake::AddSimilarPlugin("last", fake::FixedAnswer(Json::Value(Json::arrayValue)));
  GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 1})"), 10);
  const std::vector<fake::PluginLookup>& lookups = fake::Plugins().lookups;
  ASSERT_EQ(4u, lookups.size());
  EXPECT_TRUE(lookups[0].result_in.isNull());
  EXPECT_EQ(Json::Value(Json::objectValue), lookups[1].result_in);
  EXPECT_EQ(Json::Value(Json::arrayValue), lookups[2].result_in);
  EXPECT_TRUE(lookups[3].result_in.isNull());
  EXPECT_EQ(2u, kinoro_testing::SyslogLines().size()) << "object and text answers";
}

TEST_F(QueryPluginsTest, LogLineShowsTheRequestPath) {
  fake::AddSimilarPlugin("bad", fake::FixedAnswer(Parse("{}")));
  const std::vector<std::string> plugins = {"bad"};
  Json::Value output = Parse("[1, 2]");
  QueryPlugins(plugins, Parse(R"({"path": "/volume1/a.mkv"})"), LibKinoro::VIDEO_TYPE_MOVIE, "enu",
               5, output);
  EXPECT_EQ(Json::Value(Json::arrayValue), output) << "the output is replaced";
  QueryPlugins(plugins, Parse(R"({"path": {"a": 1}})"), LibKinoro::VIDEO_TYPE_MOVIE, "enu", 5,
               output);
  EXPECT_THAT(kinoro_testing::SyslogLines(),
              ElementsAre(
                  kinoro_testing::SyslogLine{
                      LOG_ERR, "plugin_similar:90 Invalid Result: bad, /volume1/a.mkv"},
                  kinoro_testing::SyslogLine{LOG_ERR, "plugin_similar:90 Invalid Result: bad, "}));
}

TEST_F(QueryPluginsTest, EngineWithNothingLoadedGivesNothing) {
  fake::Plugins().folder = Json::Value();  // a failed folder load
  fake::Plugins().conf["priority"]["movie"]["similar"].append("a");
  EXPECT_EQ(Json::Value(Json::arrayValue),
            GetSimilarMoviesFromPlugin(Parse(R"({"tmdb_id": 1})"), 10));
  EXPECT_THAT(fake::Plugins().lookups, IsEmpty());
}

// ---- TMDb ids of titles ---------------------------------------------------

TEST(GetTMDbIDTest, ReadsTheNestedReference) {
  const struct {
    const char* title;
    long long id;
  } cases[] = {
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 550}}}})", 550},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 0}}}})", 0},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": -3}}}})", -3},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 9007199254740993}}}})",
       9007199254740993LL},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 27.9}}}})", 27},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": true}}}})", 1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": false}}}})", 0},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": null}}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": []}}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": {}}}}})", -1},
      // Values the 64-bit conversion does not take count as no id.
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": "550"}}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": [550]}}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 18446744073709551615}}}})",
       -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 1e300}}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"imdb": "tt1"}}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {"reference": 550}}})", -1},
      {R"({"extra": {"com.velmora.TheMovieDb": {}}})", -1},
      {R"({"extra": {"themoviedb": 550}})", -1},
      {R"({"extra": []})", -1},
      {R"({"title": "A"})", -1},
      {R"([{"extra": 1}])", -1},
      {R"("A")", -1},
      {"null", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.id, GetTMDbID(Parse(c.title)));
  }
}

TEST(GetTMDbIDsTest, NewPositiveIdsInOrderEachOnce) {
  std::set<long long> seen = {7};
  const Json::Value titles = Parse(R"([
      {"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 3}}}},
      {"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 7}}}},
      {"title": "no id"},
      {"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 0}}}},
      {"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": -5}}}},
      {"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 1}}}},
      {"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 3}}}}])");
  EXPECT_THAT(GetTMDbIDs(titles, seen), ElementsAre(3, 1));
  EXPECT_THAT(seen, ElementsAre(1, 3, 7)) << "ids <= 0 do not enter the set";
  EXPECT_THAT(GetTMDbIDs(titles, seen), IsEmpty()) << "a second pass finds nothing new";
  EXPECT_THAT(GetTMDbIDs(Parse(R"({"a": 1})"), seen), IsEmpty());
}

// ---- The page window ------------------------------------------------------

TEST(ClipMoviesTest, CopiesTheWindowOfTheBatch) {
  const struct {
    const char* name;
    unsigned int position, offset, target;
    int batch;    // movies 1..batch
    int already;  // movies in the output before the call (ids 100, 101, ...)
    unsigned int next;
    std::vector<int> out;
  } cases[] = {
      {"batch before the page", 0, 5, 3, 4, 0, 4, {}},
      {"batch ends at the offset", 1, 5, 3, 4, 0, 5, {}},
      {"page starts inside the batch", 3, 5, 3, 4, 0, 7, {3, 4}},
      {"page starts at the batch", 5, 5, 3, 2, 0, 7, {1, 2}},
      {"target cuts the batch", 0, 0, 2, 4, 0, 2, {1, 2}},
      {"target counts earlier passes", 6, 2, 3, 4, 2, 7, {100, 101, 1}},
      {"empty batch at the offset", 5, 5, 3, 0, 0, 5, {}},
      {"empty batch past the offset", 9, 5, 3, 0, 1, 9, {100}},
      {"offset 2 limit 2, first pass", 0, 2, 2, 3, 0, 3, {3}},
      {"offset 2 limit 2, second pass", 3, 2, 2, 4, 1, 4, {100, 1}},
      {"target 0 copies nothing", 0, 0, 0, 3, 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Movie> batch;
    for (int i = 1; i <= c.batch; ++i) batch.push_back(MakeMovie(i, i));
    std::vector<Movie> out;
    for (int i = 0; i < c.already; ++i) out.push_back(MakeMovie(100 + i, 100 + i));
    EXPECT_EQ(c.next, ClipMovies(c.position, c.offset, c.target, batch, out));
    EXPECT_EQ(c.out, MovieIds(out));
  }
}

// ---- The selection --------------------------------------------------------

class SimilarMoviesTest : public PluginSimilarTest {
 protected:
  // The given movie: id 1, TMDb id 500, plus the database movies 2..n with
  // TMDb id 1000 + id.
  void SetUpDatabase(int movies_with_tmdb) {
    fake::World().movies_by_id[1] = MakeMovie(1, 500);
    for (int id = 2; id <= movies_with_tmdb; ++id) {
      fake::World().tmdb_movies.push_back(MakeMovie(id, 1000 + id));
    }
    fake::World().num_movies_with_tmdb = movies_with_tmdb;
  }

  int Run(VELM::APIParameter<int> id, VELM::APIParameter<int> offset, int limit,
          std::vector<Movie>* movies) {
    SimilarAPI similar(id, offset, Param(limit));
    LibKinoro::db::api::MovieAPI movie_api;
    return similar.GetSimilarMovies(movie_api, *movies);
  }
};

TEST_F(SimilarMoviesTest, GivenMovieMustExistAndHaveATmdbId) {
  fake::World().movies_by_id[7] = MakeMovie(7, -1);
  fake::World().movies_by_id[8] = MakeMovie(8, 0);
  fake::World().num_movies_with_tmdb = 1;
  fake::AddSimilarPlugin("a", fake::FixedAnswer(Json::Value(Json::arrayValue)));
  const struct {
    const char* name;
    VELM::APIParameter<int> id;
    int code;
    std::vector<std::string> log;
    std::vector<std::string> queries;
  } cases[] = {
      {"id absent", Unset(), 120, {}, {}},
      {"no such movie", Param(6), 101, {"plugin_similar:192 cannot find movie id: 6"}, {"GetInfo"}},
      {"no TMDb id",
       Param(7),
       101,
       {"plugin_similar:197 the specifed movie doesn't have tmdb id: 7"},
       {"GetInfo"}},
      {"TMDb id 0 passes", Param(8), 0, {}, {"GetInfo", "GetNumMoviesWithTMDbID"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kinoro_testing::ClearSyslog();
    fake::World().video_queries.clear();
    std::vector<Movie> movies = {MakeMovie(99, 99)};
    EXPECT_EQ(c.code, Run(c.id, Unset(), 5, &movies));
    EXPECT_THAT(MovieIds(movies), ElementsAre(99)) << "left untouched";
    std::vector<std::string> log;
    for (const auto& line : kinoro_testing::SyslogLines()) {
      EXPECT_EQ(LOG_ERR, line.priority);
      log.push_back(line.text);
    }
    EXPECT_EQ(c.log, log);
    std::vector<std::string> queries;
    for (const auto& query : fake::World().video_queries) queries.push_back(query.call);
    EXPECT_EQ(c.queries, queries);
  }
  EXPECT_EQ(1u, fake::Plugins().lookups.size()) << "only the movie with TMDb id 0 asks";
}

TEST_F(SimilarMoviesTest, OffsetAtOrPastTheMatchableMoviesAsksNoPlugin) {
  SetUpDatabase(4);
  fake::AddSimilarPlugin("a", fake::RankedAnswer({fake::TmdbTitle("x", 1002)}));
  for (int offset : {4, 5, 1000}) {
    std::vector<Movie> movies;
    EXPECT_EQ(0, Run(Param(1), Param(offset), 3, &movies));
    EXPECT_THAT(movies, IsEmpty());
  }
  EXPECT_EQ(0, fake::Plugins().conf_loads);
  // One movie short of the count: the plug-ins are asked, and the one match
  // lies before the page.
  std::vector<Movie> movies;
  EXPECT_EQ(0, Run(Param(1), Param(3), 3, &movies));
  EXPECT_THAT(movies, IsEmpty());
  EXPECT_EQ(1, fake::Plugins().conf_loads);
}

// A ranking plug-in over `ranked` TMDb ids: asked for n, it gives the first n.
fake::PluginAnswer Ranking(const std::vector<long long>& ranked) {
  std::vector<Json::Value> titles;
  for (long long id : ranked)
    titles.push_back(fake::TmdbTitle("t" + std::to_string(id), Json::Int64(id)));
  return fake::RankedAnswer(titles);
}

// TMDb ids 1 .. n that match no database movie except those listed.
std::vector<long long> Filler(int n, const std::vector<std::pair<int, long long>>& at) {
  std::vector<long long> ids;
  for (int i = 0; i < n; ++i) ids.push_back(90000 + i);
  for (const auto& place : at) ids[place.first] = place.second;
  return ids;
}

TEST_F(SimilarMoviesTest, PassesGrowFivefoldUpToTheCap) {
  SetUpDatabase(30);
  const struct {
    const char* name;
    int offset, limit;
    std::vector<long long> ranked;  // the plug-in's ranking
    std::vector<unsigned long> asked;
    std::vector<int> movies;
  } cases[] = {
      {"limit 1, nothing matches", 0, 1, Filler(200, {}), {5, 25, 100}, {}},
      {"limit 3, nothing matches", 0, 3, Filler(200, {}), {15, 75, 100}, {}},
      {"limit 20 asks 100 once", 0, 20, Filler(200, {{3, 1002}}), {100}, {2}},
      {"limit 1000 asks 100 once", 0, 1000, Filler(200, {}), {100}, {}},
      {"page full after the first pass",
       0,
       2,
       Filler(200, {{0, 1004}, {9, 1003}, {4, 1002}}),
       {10},
       {4, 2}},
      {"plug-ins run dry in the second pass",
       0,
       3,
       Filler(40, {{2, 1005}, {14, 1006}, {30, 1007}}),
       {15, 75},
       {5, 6, 7}},
      {"plug-ins run dry at once", 0, 3, Filler(7, {{6, 1002}}), {15}, {2}},
      {"plug-ins have nothing", 0, 3, {}, {15}, {}},
      {"offset 2 limit 2",
       2,
       2,
       Filler(200, {{0, 1002}, {1, 1003}, {2, 1004}, {12, 1005}, {30, 1006}}),
       {10, 50},
       {4, 5}},
      {"exactly 100 titles end the selection", 0, 1, Filler(100, {{99, 1009}}), {5, 25, 100}, {9}},
      {"limit 0 returns nothing", 0, 0, Filler(5, {{0, 1002}}), {0}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::ResetPlugins();
    fake::World().list_in_tmdb_calls.clear();
    fake::AddSimilarPlugin("rank", Ranking(c.ranked));
    std::vector<Movie> movies;
    ASSERT_EQ(0, Run(Param(1), c.offset == 0 ? Unset() : Param(c.offset), c.limit, &movies));
    EXPECT_EQ(c.asked, AskedCounts());
    EXPECT_EQ(c.movies, MovieIds(movies));
    for (const fake::PluginLookup& lookup : fake::Plugins().lookups) {
      EXPECT_EQ(Parse(R"({"tmdb_id": 500})"), lookup.request) << "the same request every pass";
    }
  }
}

TEST_F(SimilarMoviesTest, LimitZeroWithAnOverAnsweringPluginReturnsNothing) {
  SetUpDatabase(5);
  fake::AddSimilarPlugin("a", fake::FixedAnswer(Parse(R"([
      {"title": "x", "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 1002}}}}])")));
  std::vector<Movie> movies;
  EXPECT_EQ(0, Run(Param(1), Unset(), 0, &movies));
  EXPECT_THAT(movies, IsEmpty());
  EXPECT_THAT(AskedCounts(), ElementsAre(0));
}

TEST_F(SimilarMoviesTest, TargetSmallerThanLimitEndsTheSelection) {
  // Nine matches in the first pass, offset 4, limit 10. The number of movies
  // with a TMDb id is the library's answer; when it leaves fewer than the
  // limit after the offset, the page is full sooner.
  const struct {
    int movies_with_tmdb;
    std::vector<unsigned long> asked;
    std::vector<int> movies;
  } cases[] = {
      {6, {50}, {6, 7}},                   // target 2
      {100, {50, 100}, {6, 7, 8, 9, 10}},  // target 10: the page never fills
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.movies_with_tmdb);
    SetUp();
    SetUpDatabase(10);
    fake::World().num_movies_with_tmdb = c.movies_with_tmdb;
    fake::AddSimilarPlugin("rank", Ranking(Filler(200, {{0, 1002},
                                                        {1, 1003},
                                                        {2, 1004},
                                                        {3, 1005},
                                                        {4, 1006},
                                                        {5, 1007},
                                                        {6, 1008},
                                                        {7, 1009},
                                                        {8, 1010}})));
    std::vector<Movie> movies;
    ASSERT_EQ(0, Run(Param(1), Param(4), 10, &movies));
    EXPECT_EQ(c.movies, MovieIds(movies));
    EXPECT_EQ(c.asked, AskedCounts());
  }
}

TEST_F(SimilarMoviesTest, OwnIdAndSeenIdsAreNeverLookedUpAgain) {
  SetUpDatabase(10);
  // Another copy of the given movie (same TMDb id) lives in the database.
  fake::World().tmdb_movies.push_back(MakeMovie(20, 500));
  fake::AddSimilarPlugin(
      "rank", Ranking(Filler(200, {{0, 500}, {1, 1002}, {2, 90001}, {20, 1003}, {40, 500}})));
  std::vector<Movie> movies;
  ASSERT_EQ(0, Run(Param(1), Unset(), 3, &movies));
  EXPECT_THAT(MovieIds(movies), ElementsAre(2, 3));
  EXPECT_THAT(AskedCounts(), ElementsAre(15, 75, 100));

  const std::vector<std::vector<long long>>& looked_up = fake::World().list_in_tmdb_calls;
  ASSERT_EQ(3u, looked_up.size());
  std::set<long long> all;
  size_t total = 0;
  for (const std::vector<long long>& ids : looked_up) {
    for (long long id : ids) {
      EXPECT_NE(500, id) << "the given movie's own id";
      all.insert(id);
      ++total;
    }
  }
  EXPECT_EQ(all.size(), total) << "no id is looked up twice";
  EXPECT_EQ(98u, total) << "every other distinct id of the 100 titles once";
  EXPECT_EQ(14u, looked_up[0].size());
  EXPECT_EQ(59u, looked_up[1].size());
  EXPECT_EQ(25u, looked_up[2].size());
}

TEST_F(SimilarMoviesTest, UsesTheCallersQueryObject) {
  SetUpDatabase(5);
  fake::AddSimilarPlugin("rank", Ranking({1003, 1002}));
  SimilarAPI similar(Param(1), Unset(), Param(2));
  LibKinoro::db::api::MovieAPI movie_api;
  movie_api.uid = 1030;
  movie_api.with_file = true;
  std::vector<Movie> movies;
  ASSERT_EQ(0, similar.GetSimilarMovies(movie_api, movies));
  EXPECT_EQ(500, similar.tmdb_id());
  std::vector<std::string> calls;
  for (const fake::VideoQuerySnapshot& query : fake::World().video_queries) {
    calls.push_back(query.call);
    EXPECT_EQ(1030u, query.uid);
    EXPECT_TRUE(query.with_file);
  }
  EXPECT_THAT(calls, ElementsAre("GetInfo", "GetNumMoviesWithTMDbID", "ListInTMDb"));
  EXPECT_THAT(MovieIds(movies), ElementsAreArray({3, 2}));
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
