#include "plugins/common/plugin_io.h"

#include <sstream>

#include <gtest/gtest.h>

namespace kinoro_plugins {
namespace {

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
