// What the engine cannot send or TMDb's recorded answers do not hold; the
// rest is tested through the engine (tests/plugin).
#include "plugins/tmdb/tmdb.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kinoro_tmdb {
namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
  return value;
}

TEST(MapMovieTest, EntriesWithoutAUsableIdAreSkipped) {
  const struct {
    const char* movie;
    const char* title;  // nullptr: refused
  } cases[] = {
      {R"({"id": 1.0, "original_title": "Original", "poster_path": ""})", "Original"},
      {R"({"id": 1, "title": "Shown", "original_title": "Original"})", "Shown"},
      {R"({"id": 0, "title": "Zero"})", nullptr},
      {R"({"id": "12", "title": "Text id"})", nullptr},
      {R"([1])", nullptr},
  };
  for (const auto& c : cases) {
    Json::Value title;
    EXPECT_EQ(MapMovie(Parse(c.movie), Settings(), &title), c.title != nullptr) << c.movie;
    if (c.title == nullptr) continue;
    EXPECT_EQ(title["title"].asString(), c.title);
    EXPECT_EQ(title["extra"]["com.velmora.TheMovieDb"],
              Parse(R"({"reference": {"themoviedb": 1}})"));
  }
}

// What the engine never sends (it reads the INFO first), and a search for
// nothing, are settled without asking TMDb (port 1: any request would fail).
TEST(AnswerTest, SettledWithoutAskingTmdb) {
  const struct {
    const char* action;
    const char* type;
    unsigned limit;
    bool ok;
  } cases[] = {
      {"search", "movie", 0, true}, {"similar", "tvshow", 5, false}, {"info", "movie", 5, false}};
  for (const auto& c : cases) {
    kinoro_plugins::Request request;
    request.action = c.action;
    request.type = c.type;
    request.limit = c.limit;
    request.input = Parse(R"({"tmdb_id": 550, "title": "Heat"})");
    request.settings = Parse(R"({"api_key": "k", "base_url": "http://127.0.0.1:1"})");
    Json::Value answer;
    std::string error;
    EXPECT_EQ(Answer(request, &answer, &error), c.ok) << c.action << " " << c.type;
    EXPECT_EQ(error.find("cannot answer"), c.ok ? std::string::npos : 0) << error;
    EXPECT_EQ(answer, Json::Value(Json::arrayValue));
  }
}

}  // namespace
}  // namespace kinoro_tmdb
