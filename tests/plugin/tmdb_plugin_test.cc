// The tmdb program run by the engine against recorded TMDb answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/testing/syslog_recorder.h"
#include "tests/plugin/plugin_folder.h"
#include "tests/plugin/tmdb_server.h"

namespace plugin_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class TmdbPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TmdbServer>(TMDB_SAMPLES_DIR, kPageSize);
    if (!server_->ok()) GTEST_SKIP() << "no recorded TMDb answers in " << TMDB_SAMPLES_DIR;
    ASSERT_TRUE(folder_.Install("tmdb", TMDB_PROGRAM));
    UseKey(TmdbServer::kGoodKey);
    kinoro_testing::ClearSyslog();
  }

  void UseKey(const std::string& key) {
    Json::Value conf;
    conf["settings"]["tmdb"]["api_key"] = key;
    conf["settings"]["tmdb"]["base_url"] = server_->BaseUrl();
    conf["settings"]["tmdb"]["language"] = "fr-FR";
    ASSERT_TRUE(folder_.WriteConf(conf));
  }

  // The ids of the recorded list, in order, first `n` of them.
  std::vector<long long> RecordedIds(size_t n) {
    std::vector<long long> ids;
    for (const Json::Value& movie : server_->top_rated()["results"]) {
      if (ids.size() < n) ids.push_back(movie["id"].asInt64());
    }
    return ids;
  }

  std::string LoggedFailure() {
    auto lines = kinoro_testing::SyslogLines();
    return lines.size() == 1 ? lines[0].text : "(" + std::to_string(lines.size()) + " lines)";
  }

  static constexpr int kPageSize = 7;  // 20 recorded titles: pages of 7, 7 and 6
  std::unique_ptr<TmdbServer> server_;
  PluginFolder folder_;
};

TEST_F(TmdbPluginTest, SimilarPagesUntilTheLimit) {
  struct Case {
    unsigned long limit;
    size_t titles;
    std::vector<std::string> pages;
  };
  const Case cases[] = {
      {1, 1, {"1"}},
      {7, 7, {"1"}},
      {10, 10, {"1", "2"}},
      {100, 20, {"1", "2", "3"}},  // the list ends first
  };
  const long long id = server_->details()["id"].asInt64();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    const size_t before = server_->Requests().size();
    Json::Value answer;
    ASSERT_EQ(folder_.Lookup("tmdb", ParseJson("{\"tmdb_id\": " + std::to_string(id) + "}"),
                             c.limit, &answer),
              0)
        << LoggedFailure();
    EXPECT_EQ(TmdbIds(answer), RecordedIds(c.titles));
    const auto requests = server_->Requests();
    std::vector<std::string> pages;
    for (size_t i = before; i < requests.size(); ++i) {
      EXPECT_THAT(requests[i], HasSubstr("/3/movie/" + std::to_string(id) + "/similar?"));
      EXPECT_THAT(requests[i], HasSubstr("api_key=good-key&language=fr-FR&page="));
      pages.push_back(requests[i].substr(requests[i].rfind('=') + 1));
    }
    EXPECT_EQ(pages, c.pages);
  }
  EXPECT_THAT(kinoro_testing::SyslogLines(), IsEmpty());
}

TEST_F(TmdbPluginTest, TitlesCarryTheRecordedFields) {
  Json::Value answer;
  ASSERT_EQ(folder_.Lookup("tmdb", ParseJson(R"({"tmdb_id": 550})"), 3, &answer), 0);
  ASSERT_EQ(answer.size(), 3u);
  const Json::Value& recorded = server_->top_rated()["results"][0];
  const Json::Value& title = answer[0];
  EXPECT_EQ(title["title"], recorded["title"]);
  EXPECT_EQ(title["original_available"], recorded["release_date"]);
  EXPECT_EQ(title["summary"], recorded["overview"]);
  const Json::Value& extra = title["extra"]["com.velmora.TheMovieDb"];
  EXPECT_DOUBLE_EQ(extra["rating"]["themoviedb"].asDouble(), recorded["vote_average"].asDouble());
  EXPECT_EQ(extra["poster"][0].asString(),
            "https://image.tmdb.org/t/p/original" + recorded["poster_path"].asString());
}

TEST_F(TmdbPluginTest, TitleWithoutIdIsLookedUpFirst) {
  Json::Value answer;
  ASSERT_EQ(folder_.Lookup(
                "tmdb", ParseJson(R"({"title": "fight club", "original_available": "1999-10-15"})"),
                2, &answer),
            0)
      << LoggedFailure();
  EXPECT_EQ(TmdbIds(answer), RecordedIds(2));
  const auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0],
            "/3/search/movie?api_key=good-key&language=fr-FR&page=1&query=fight club&year=1999");

  // A title TMDb does not know: nothing is similar, and that is no failure.
  ASSERT_EQ(folder_.Lookup("tmdb", ParseJson(R"({"title": "No Such Film"})"), 2, &answer), 0);
  EXPECT_EQ(answer, Json::Value(Json::arrayValue));
}

TEST_F(TmdbPluginTest, FailuresAreFailedLookupsWithTheReasonLogged) {
  struct Case {
    const char* name;
    const char* key;
    long long movie;
    const char* logged;
  };
  const Case cases[] = {
      {"invalid key", "wrong-key", 550, "HTTP 401 to /movie/550/similar: Invalid API key"},
      {"no key", "", 550, "no TMDb api_key"},
      {"unknown movie", TmdbServer::kGoodKey, 12, "HTTP 404 to /movie/12/similar: The resource"},
      {"error body with HTTP 200", TmdbServer::kGoodKey, TmdbServer::kFailureBody200,
       "HTTP 200 to /movie/9001/similar: Invalid API key"},
      {"not JSON", TmdbServer::kGoodKey, TmdbServer::kNotJson, "is not a JSON object"},
      {"huge", TmdbServer::kGoodKey, TmdbServer::kHuge, "is larger than"},
      {"too deep", TmdbServer::kGoodKey, TmdbServer::kTooDeep, "is not a JSON object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseKey(c.key);
    kinoro_testing::ClearSyslog();
    Json::Value answer;
    EXPECT_EQ(folder_.Lookup("tmdb", ParseJson("{\"tmdb_id\": " + std::to_string(c.movie) + "}"), 5,
                             &answer),
              -1);
    EXPECT_TRUE(answer.isNull());
    EXPECT_THAT(LoggedFailure(), HasSubstr("plug-in tmdb exited with status 1"));
    EXPECT_THAT(LoggedFailure(), HasSubstr(c.logged));
    EXPECT_THAT(LoggedFailure(), ::testing::Not(HasSubstr(c.key[0] ? c.key : "api_key=")));
  }
}

}  // namespace
}  // namespace plugin_test
