// What the engine cannot send or TMDb's recorded answers do not hold; the
// rest is tested through the engine (tests/plugin).
#include "plugins/tmdb/tmdb.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

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

// What the engine never sends: it reads the INFO first (and skips tmdb
// while its settings have no api_key).
TEST(AnswerTest, OtherTypesAndActionsAreRefused) {
  const kinoro_plugins::Request keyless{"similar", "movie", "", {}, 5, Parse(R"({"api_key": ""})")};
  Json::Value answer;
  std::string error;
  EXPECT_FALSE(Answer(keyless, &answer, &error));
  EXPECT_EQ("no TMDb api_key in the plug-in settings", error);
  for (const auto& [action, type] : {std::pair{"similar", "tvshow"}, std::pair{"info", "movie"}}) {
    kinoro_plugins::Request request;
    request.action = action;
    request.type = type;
    EXPECT_FALSE(Answer(request, &answer, &error));
    EXPECT_EQ(error, std::string("cannot answer ") + action + " for type " + type);
    EXPECT_EQ(answer, Json::Value(Json::arrayValue));
  }
}

}  // namespace
}  // namespace kinoro_tmdb
