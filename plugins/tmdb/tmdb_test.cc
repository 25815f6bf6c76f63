#include "plugins/tmdb/tmdb.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace kinoro_tmdb {
namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
  return value;
}

// A recorded TMDb answer; null when the samples are not there.
Json::Value Sample(const std::string& name) {
  std::ifstream in(std::string(TMDB_SAMPLES_DIR) + "/" + name);
  Json::Value value;
  if (in) Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr);
  return value;
}

TEST(ReadSettingsTest, DefaultsAndRejections) {
  struct Case {
    const char* settings;
    const char* error;     // nullptr: accepted
    const char* base_url;  // expected when accepted
  };
  const Case cases[] = {
      {R"({"api_key": "k"})", nullptr, "https://api.themoviedb.org/3"},
      {R"({"api_key": "k", "base_url": "http://127.0.0.1:8080/3//"})", nullptr,
       "http://127.0.0.1:8080/3"},
      {R"({"api_key": "k", "base_url": "HTTPS://example.org"})", nullptr, "HTTPS://example.org"},
      {R"({"api_key": "k", "base_url": ""})", nullptr, "https://api.themoviedb.org/3"},
      {R"({})", "api_key", nullptr},
      {R"({"api_key": ""})", "api_key", nullptr},
      {R"({"api_key": 7})", "\"api_key\" is not a string", nullptr},
      {R"({"api_key": "k", "base_url": "file:///etc/passwd"})", "\"base_url\"", nullptr},
      {R"({"api_key": "k", "base_url": "ftp://example.org"})", "\"base_url\"", nullptr},
      {R"({"api_key": "k", "image_base_url": "gopher://x"})", "\"image_base_url\"", nullptr},
      {R"({"api_key": "k", "language": ["en"]})", "\"language\"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    Settings settings;
    std::string error;
    bool ok = ReadSettings(Parse(c.settings), &settings, &error);
    if (c.error == nullptr) {
      ASSERT_TRUE(ok) << error;
      EXPECT_EQ(settings.base_url, c.base_url);
      EXPECT_EQ(settings.language, kDefaultLanguage);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(MapMovieTest, RecordedDetailsCarryTheImdbId) {
  const Json::Value details = Sample("tmdb-movie-details.json");
  if (details.isNull()) GTEST_SKIP() << "no recorded TMDb answers in " << TMDB_SAMPLES_DIR;
  Settings settings;
  settings.image_base_url = "https://img.example/t/p/w500";
  Json::Value title;
  ASSERT_TRUE(MapMovie(details, settings, &title));
  const Json::Value& extra = title["extra"]["com.velmora.TheMovieDb"];
  EXPECT_EQ(title["title"], details["title"]);
  EXPECT_EQ(title["original_available"], details["release_date"]);
  EXPECT_EQ(title["summary"], details["overview"]);
  EXPECT_EQ(extra["reference"]["themoviedb"].asInt64(), details["id"].asInt64());
  EXPECT_EQ(extra["reference"]["imdb"], details["imdb_id"]);
  EXPECT_DOUBLE_EQ(extra["rating"]["themoviedb"].asDouble(), details["vote_average"].asDouble());
  EXPECT_EQ(extra["poster"][0].asString(),
            "https://img.example/t/p/w500" + details["poster_path"].asString());
  EXPECT_EQ(extra["backdrop"][0].asString(),
            "https://img.example/t/p/w500" + details["backdrop_path"].asString());
}

TEST(MapMovieTest, IncompleteEntries) {
  struct Case {
    const char* movie;
    bool ok;
    const char* title;
  };
  const Case cases[] = {
      {R"({"id": 1, "original_title": "Original"})", true, "Original"},
      {R"({"id": 1, "title": "Shown", "original_title": "Original"})", true, "Shown"},
      {R"({"id": 1.0, "title": "Real id"})", true, "Real id"},
      {R"({"title": "No id"})", false, ""},
      {R"({"id": 0, "title": "Zero"})", false, ""},
      {R"({"id": "12", "title": "Text id"})", false, ""},
      {R"([1])", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.movie);
    Json::Value title;
    EXPECT_EQ(MapMovie(Parse(c.movie), Settings(), &title), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(title["title"].asString(), c.title);
    const Json::Value& extra = title["extra"]["com.velmora.TheMovieDb"];
    EXPECT_FALSE(extra.isMember("rating"));
    EXPECT_FALSE(extra.isMember("poster"));
  }
}

TEST(AnswerTest, RefusesWhatItCannotAnswerWithoutAskingTmdb) {
  // Port 1 on loopback: any request would fail, so success means no request.
  const char* settings = R"({"api_key": "k", "base_url": "http://127.0.0.1:1"})";
  struct Case {
    const char* action;
    const char* type;
    const char* input;
    unsigned limit;
    const char* error;  // nullptr: an empty answer
  };
  const Case cases[] = {
      {"similar", "movie", R"({"tmdb_id": 550})", 0, nullptr},
      {"search", "movie", R"({"title": "Heat"})", 0, nullptr},
      {"similar", "tvshow", R"({"tmdb_id": 550})", 5, "cannot answer similar for type tvshow"},
      {"info", "movie", R"({"tmdb_id": 550})", 5, "cannot answer info"},
      {"similar", "movie", R"({"tmdb_id": -4})", 5, "\"tmdb_id\" is not a positive integer"},
      {"similar", "movie", R"({"tmdb_id": "550"})", 5, "\"tmdb_id\" is not a positive integer"},
      {"similar", "movie", R"({})", 5, "needs a \"tmdb_id\" or a \"title\""},
      {"search", "movie", R"({"title": ""})", 5, "needs a \"title\""},
      {"similar", "movie", R"({"tmdb_id": 550})", 5, "cannot reach TMDb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.action) + " " + c.input);
    kinoro_plugins::Request request;
    request.action = c.action;
    request.type = c.type;
    request.input = Parse(c.input);
    request.limit = c.limit;
    request.settings = Parse(settings);
    Json::Value answer;
    std::string error;
    bool ok = Answer(request, &answer, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(answer, Json::Value(Json::arrayValue));
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_EQ(error.find("api_key=k"), std::string::npos) << "the key leaked into a message";
    }
  }
}

}  // namespace
}  // namespace kinoro_tmdb
