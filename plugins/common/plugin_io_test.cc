#include "plugins/common/plugin_io.h"

#include <sstream>

#include <gtest/gtest.h>

namespace kinoro_plugins {
namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
  return value;
}

TEST(ReadRequestTest, AcceptsTheEngineRequest) {
  std::istringstream in(R"({"action": "similar", "type": "movie", "lang": "enu",
      "input": {"tmdb_id": 550}, "limit": 18446744073709551615, "settings": {"k": "v"}})");
  Request request;
  std::string error;
  ASSERT_TRUE(ReadRequest(in, &request, &error)) << error;
  EXPECT_EQ(request.action, "similar");
  EXPECT_EQ(request.type, "movie");
  EXPECT_EQ(request.lang, "enu");
  EXPECT_EQ(request.input["tmdb_id"].asInt(), 550);
  EXPECT_EQ(request.limit, 18446744073709551615ULL);
  EXPECT_EQ(request.settings["k"].asString(), "v");
}

TEST(ReadRequestTest, DefaultsAndRejections) {
  struct Case {
    const char* text;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {R"({"action": "similar", "type": "movie"})", nullptr},
      {R"({"action": "similar", "type": "movie", "input": null, "settings": []})", nullptr},
      {R"({"type": "movie"})", "no \"action\""},
      {R"({"action": "similar", "type": 1})", "no \"type\""},
      {R"({"action": "similar", "type": "movie", "input": [1]})", "\"input\" is not an object"},
      {R"({"action": "similar", "type": "movie", "limit": -1})", "\"limit\" is not a count"},
      {R"({"action": "similar", "type": "movie", "limit": "10"})", "\"limit\" is not a count"},
      {R"([])", "not a JSON object"},
      {R"({"action": "similar", "type": "movie"} trailing)", "not JSON"},
      {"", "not JSON"},
  };
  const std::string deep(5000, '[');
  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.push_back({deep.c_str(), "not JSON"});
  for (const Case& c : all) {
    SCOPED_TRACE(std::string(c.text).substr(0, 80));
    std::istringstream in(c.text);
    Request request;
    std::string error;
    bool ok = ReadRequest(in, &request, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << error;
      EXPECT_TRUE(request.input.isObject());
      EXPECT_TRUE(request.settings.isObject());
      EXPECT_EQ(request.limit, 0u);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(ReadRequestTest, RefusesAnOversizedRequest) {
  std::istringstream in(std::string(kMaxRequestBytes + 10, ' '));
  Request request;
  std::string error;
  EXPECT_FALSE(ReadRequest(in, &request, &error));
  EXPECT_EQ(error, "request too large");
}

TEST(TitleToJsonTest, FullAndMinimalTitles) {
  Title full;
  full.title = "Fight Club";
  full.original_available = "1999-10-15";
  full.summary = "Soap.";
  full.tmdb_id = 550;
  full.imdb_id = "tt0137523";
  full.has_rating = true;
  full.rating = 8.4;
  full.posters = {"https://img/p.jpg"};
  full.backdrops = {"https://img/b1.jpg", "https://img/b2.jpg"};
  EXPECT_EQ(TitleToJson(full), Parse(R"({"title": "Fight Club",
      "original_available": "1999-10-15", "summary": "Soap.",
      "extra": {"com.velmora.TheMovieDb": {
        "reference": {"themoviedb": 550, "imdb": "tt0137523"},
        "rating": {"themoviedb": 8.4},
        "poster": ["https://img/p.jpg"],
        "backdrop": ["https://img/b1.jpg", "https://img/b2.jpg"]}}})"));

  Title minimal;
  minimal.title = "Unknown";
  EXPECT_EQ(TitleToJson(minimal), Parse(R"({"title": "Unknown", "original_available": "",
      "summary": "", "extra": {"com.velmora.TheMovieDb": {"reference": {}}}})"));
}

TEST(ToJsonLineTest, CompactWithShortDecimals) {
  Json::Value value;
  value["rating"] = 8.7;
  value["big"] = Json::Int64(9007199254740993LL);
  EXPECT_EQ(ToJsonLine(value), "{\"big\":9007199254740993,\"rating\":8.7}\n");
}

TEST(AsInt64Test, IntegralValuesOnly) {
  struct Case {
    Json::Value value;
    bool ok;
    int64_t out;
  };
  const Case cases[] = {
      {Json::Value(550), true, 550},
      {Json::Value(-3), true, -3},
      {Json::Value(550.0), true, 550},
      {Json::Value(Json::Int64(9007199254740993LL)), true, 9007199254740993LL},
      {Json::Value(550.5), false, 0},
      {Json::Value(1e30), false, 0},
      {Json::Value(Json::UInt64(18446744073709551615ULL)), false, 0},
      {Json::Value("550"), false, 0},
      {Json::Value(true), false, 0},
      {Json::Value(), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.toStyledString());
    int64_t out = 0;
    EXPECT_EQ(AsInt64(c.value, &out), c.ok);
    if (c.ok) {
      EXPECT_EQ(out, c.out);
    }
  }
}

}  // namespace
}  // namespace kinoro_plugins
