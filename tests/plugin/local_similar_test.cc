// The local_similar program run by the engine on a database made by
// kinoro-db from an import document.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/testing/syslog_recorder.h"
#include "platform/plugin/child_process.h"
#include "tests/plugin/plugin_folder.h"

namespace plugin_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Scores against Alien (348), with genre 1, tag 1.5, actor 1, director 2
// and collection 4: Aliens 9; Blade Runner 3; Moon, Gravity, Sunshine and
// Solaris 2.5 (rating 7.6 first, then 7.2 by movie id, then no rating); The
// Terminator 1. Notting
// Hill shares nothing; Prometheus has no TMDb id; the second Alien is the
// movie itself and the second Blade Runner the same title again.
constexpr char kLibrary[] = R"({
  "libraries": [{"id": 1, "title": "Films", "type": "movie"},
                {"id": 2, "title": "Archive", "type": "movie"}],
  "movies": [
    {"id": 1, "library_id": 1, "title": "Alien", "tmdb_id": 348, "imdb_id": "tt0078748",
     "rating": 8.1, "original_available": "1979-05-25", "summary": "In space.",
     "genres": ["Horror", "Science Fiction"], "directors": ["Ridley Scott"],
     "actors": ["Sigourney Weaver", "Tom Skerritt"], "tags": ["space", "alien"],
     "collection": "Alien Collection"},
    {"id": 2, "library_id": 1, "title": "Aliens", "tmdb_id": 679, "imdb_id": "tt0090605",
     "rating": 7.9, "original_available": "1986-07-18", "summary": "This time it's war.",
     "genres": ["Action", "Science Fiction"], "directors": ["James Cameron"],
     "actors": ["Sigourney Weaver"], "tags": ["space", "alien"],
     "collection": "Alien Collection"},
    {"id": 3, "library_id": 1, "title": "Blade Runner", "tmdb_id": 78, "rating": 7.9,
     "genres": ["Science Fiction", "Drama"], "directors": ["Ridley Scott"],
     "actors": ["Harrison Ford"]},
    {"id": 4, "library_id": 1, "title": "The Terminator", "tmdb_id": 218, "rating": 7.6,
     "genres": ["Action", "Science Fiction"], "directors": ["James Cameron"], "tags": ["cyborg"]},
    {"id": 5, "library_id": 1, "title": "Gravity", "tmdb_id": 49047, "rating": 7.2,
     "genres": ["Science Fiction", "Drama"], "tags": ["space"]},
    {"id": 6, "library_id": 1, "title": "Sunshine", "tmdb_id": 1272, "rating": 7.2,
     "genres": ["Science Fiction"], "tags": ["space"]},
    {"id": 7, "library_id": 1, "title": "Moon", "tmdb_id": 17431, "rating": 7.6,
     "genres": ["Science Fiction", "Drama"], "tags": ["space"]},
    {"id": 8, "library_id": 1, "title": "Notting Hill", "tmdb_id": 509,
     "genres": ["Romance", "Comedy"]},
    {"id": 9, "library_id": 1, "title": "Prometheus", "genres": ["Science Fiction"],
     "directors": ["Ridley Scott"], "collection": "Alien Collection"},
    {"id": 10, "library_id": 2, "title": "Alien", "tmdb_id": 348, "rating": 8.1,
     "genres": ["Science Fiction"], "tags": ["alien"]},
    {"id": 11, "library_id": 2, "title": "Blade Runner", "tmdb_id": 78, "rating": 7.9,
     "genres": ["Science Fiction"], "directors": ["Ridley Scott"]},
    {"id": 12, "library_id": 1, "title": "Solaris", "tmdb_id": 593,
     "genres": ["Science Fiction", "Drama"], "tags": ["space"]}
  ]})";

class LocalSimilarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = folder_.dir().File("kinoro.db");
    const std::string doc = folder_.dir().File("library.json");
    ASSERT_TRUE(kinoro_testing::WriteFile(doc, kLibrary));
    velm_plugin::ChildOptions import;
    import.program = KINORO_DB_PROGRAM;
    import.args = {"--db", db_, "import", doc};
    import.env = {"PATH=/usr/bin:/bin"};
    import.timeout_ms = 60000;
    velm_plugin::ChildResult run = velm_plugin::RunChild(import, "");
    ASSERT_EQ(run.outcome, velm_plugin::ChildOutcome::kExited) << run.err;
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ASSERT_TRUE(folder_.Install("local_similar", LOCAL_SIMILAR_PROGRAM));
    UseDatabase(db_);
    kinoro_testing::ClearSyslog();
  }

  void UseDatabase(const std::string& path) {
    Json::Value conf;
    conf["priority"]["movie"]["similar"].append("local_similar");
    conf["settings"]["local_similar"]["database"] = path;
    ASSERT_TRUE(folder_.WriteConf(conf));
  }

  int Similar(const Json::Value& tmdb_id, unsigned long limit, Json::Value* answer) {
    Json::Value request;
    request["tmdb_id"] = tmdb_id;
    return folder_.Lookup("local_similar", request, limit, answer);
  }

  std::string LoggedFailure() {
    auto lines = kinoro_testing::SyslogLines();
    return lines.size() == 1 ? lines[0].text : "(" + std::to_string(lines.size()) + " lines)";
  }

  PluginFolder folder_;
  std::string db_;
};

TEST_F(LocalSimilarTest, RanksBySharedItemsThenRatingThenId) {
  struct Case {
    Json::Value tmdb_id;
    unsigned long limit;
    std::vector<long long> ids;
  };
  const Case cases[] = {
      {Json::Int64(348), 10, {679, 78, 17431, 49047, 1272, 593, 218}},
      {Json::Int64(348), 2, {679, 78}},
      {348.0, 1, {679}},
      {Json::Int64(348), 0, {}},
      // Aliens shares two genres and the director; the rest one genre each.
      {Json::Int64(218), 3, {679, 348, 78}},
      {Json::Int64(509), 10, {}},     // shares nothing
      {Json::Int64(999999), 10, {}},  // no such movie
      {Json::Int64(-1), 10, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tmdb_id.toStyledString() + " limit " + std::to_string(c.limit));
    Json::Value answer;
    ASSERT_EQ(Similar(c.tmdb_id, c.limit, &answer), 0) << LoggedFailure();
    ASSERT_TRUE(answer.isArray());
    EXPECT_EQ(TmdbIds(answer), c.ids);
  }
  EXPECT_THAT(kinoro_testing::SyslogLines(), IsEmpty());
}

TEST_F(LocalSimilarTest, AnswersInTheTitleForm) {
  Json::Value answer;
  ASSERT_EQ(Similar(Json::Int64(348), 10, &answer), 0) << LoggedFailure();
  EXPECT_EQ(answer[0], ParseJson(R"({"title": "Aliens", "original_available": "1986-07-18",
      "summary": "This time it's war.", "extra": {"com.velmora.TheMovieDb": {
        "reference": {"themoviedb": 679, "imdb": "tt0090605"},
        "rating": {"themoviedb": 7.9}}}})"));
  // No IMDb id, no summary, no rating: those members are left out or empty.
  EXPECT_EQ(answer[5], ParseJson(R"({"title": "Solaris", "original_available": "",
      "summary": "", "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 593}}}})"));
}

TEST_F(LocalSimilarTest, LeavesTheDatabaseAsItWas) {
  const std::string before = kinoro_testing::ReadFile(db_);
  Json::Value answer;
  ASSERT_EQ(Similar(Json::Int64(348), 10, &answer), 0);
  EXPECT_TRUE(kinoro_testing::ReadFile(db_) == before);
  EXPECT_FALSE(kinoro_testing::PathExists(db_ + "-journal"));
}

TEST_F(LocalSimilarTest, FailuresAreFailedLookups) {
  ASSERT_TRUE(kinoro_testing::WriteFile(folder_.dir().File("text.db"), "not a database"));
  struct Case {
    const char* name;
    std::string database;
    Json::Value tmdb_id;
    const char* logged;
  };
  const Case cases[] = {
      {"missing database", folder_.dir().File("missing.db"), Json::Int64(348),
       "cannot open database"},
      {"not a database", folder_.dir().File("text.db"), Json::Int64(348), "cannot query database"},
      {"id is text", db_, "348", "\"tmdb_id\" is not an integer"},
      {"id is a fraction", db_, 348.5, "\"tmdb_id\" is not an integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseDatabase(c.database);
    kinoro_testing::ClearSyslog();
    Json::Value answer;
    EXPECT_EQ(Similar(c.tmdb_id, 10, &answer), -1);
    EXPECT_THAT(LoggedFailure(), HasSubstr("plug-in local_similar exited with status 1"));
    EXPECT_THAT(LoggedFailure(), HasSubstr(c.logged));
  }
  // The database must exist: a missing file is not created.
  EXPECT_FALSE(kinoro_testing::PathExists(folder_.dir().File("missing.db")));
}

}  // namespace
}  // namespace plugin_test
