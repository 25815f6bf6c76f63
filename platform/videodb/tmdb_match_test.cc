#include "platform/videodb/tmdb_match.h"

#include <gtest/gtest.h>

#include <sstream>

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

// Search results in the title form: title, date and TMDb id.
Json::Value Results(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
  return value;
}

TEST(ConfidentMatchTest, EqualNormalisedTitlesAndYearsWithinOne) {
  const Json::Value results = Results(R"([
      {"title": "Amélie", "original_available": "2001-04-25",
       "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 194}}}},
      {"title": "Solaris", "original_available": "1972-03-20",
       "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 593}}}},
      {"title": "Solaris", "original_available": "2002-11-27",
       "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 2103}}}},
      {"title": "Spider–Man", "original_available": "2002-05-01",
       "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": 557}}}},
      {"title": "Up", "original_available": "2009-05-28", "extra": {}}])");
  const struct {
    const char* title;
    int year;
    int tmdb_id;  // 0: no confident match
  } cases[] = {
      {"AMELIE", 2001, 194},      // case and accents
      {"amélie", 2002, 194},      // a year off
      {"Amelie", 1999, 0},        // two years off
      {"Amelie", 0, 194},         // no year: the only equal title
      {"Solaris", 0, 0},          // no year and two equal titles
      {"Solaris", 2003, 2103},    // the closest year
      {"solaris!", 1972, 593},    // punctuation
      {"Spider Man", 2002, 557},  // a dash that is no ASCII one
      {"Spider-Man 2", 2002, 0},  // another title
      {"Up", 2009, 0},            // no TMDb id
      {"...", 0, 0},              // nothing left to compare
  };
  for (const auto& c : cases) {
    const Json::Value* found = ConfidentMatch(results, c.title, c.year);
    const int id =
        found == nullptr
            ? 0
            : (*found)["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"].asInt();
    EXPECT_EQ(id, c.tmdb_id) << c.title << " " << c.year;
  }
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
