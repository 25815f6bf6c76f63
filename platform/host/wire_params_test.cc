#include "platform/host/wire_params.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v);
}

TEST(ParseWireValueTest, JsonTextBecomesItsValueEverythingElseAString) {
  // Raw text and the compact JSON of its value.
  const std::pair<const char*, const char*> json[] = {
      {"5", "5"},
      {" 7 ", "7"},
      {"1.5", "1.5"},
      {"true", "true"},
      {"-0", "0"},
      {"1e3", "1000.0"},
      {"\"quoted\"", "\"quoted\""},
      {"[1,\"a\"]", "[1,\"a\"]"},
      {"[\"-\",\"01\",-1]", "[\"-\",\"01\",-1]"},
      {"\"a\\\"007\"", "\"a\\\"007\""},
  };
  for (const auto& c : json) EXPECT_EQ(Compact(ParseWireValue(c.first)), c.second) << c.first;
  // Not JSON, jsoncpp's leniencies included (leading zeros, comments, a
  // trailing dot, NaN): the raw text, unchanged, as a string.
  using std::string_literals::operator""s;
  for (const std::string& raw : {""s, "abc"s, "True"s, "12abc"s, "[1,"s, "[1] // c"s, "007"s,
                                 "[007]"s, "1."s, "NaN"s, "a\0b \xe2\x82\xac"s}) {
    const Json::Value value = ParseWireValue(raw);
    EXPECT_TRUE(value.isString()) << raw;
    EXPECT_EQ(value.asString(), raw);
  }
}

// Up to 1,000 nested containers a value is JSON; deeper, its text. Brackets
// inside strings do not count.
TEST(ParseWireValueTest, NestingLimit) {
  auto nested = [](int depth, const std::string& open, const std::string& close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += "1";
    for (int i = 0; i < depth; ++i) text += close;
    return text;
  };
  const struct {
    std::string raw;
    bool json;
  } cases[] = {
      {nested(1000, "[", "]"), true},
      {nested(1000, "{\"a\":", "}"), true},
      {nested(500, "[{\"a\":", "}]"), true},
      {nested(1001, "[", "]"), false},
      {nested(1001, "{\"a\":", "}"), false},
      {"[\"" + std::string(2000, '[') + "\"]", true},
      {"[\"\\\"" + std::string(2000, '{') + "\"]", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw.substr(0, 12));
    const Json::Value value = ParseWireValue(c.raw);
    EXPECT_EQ(!value.isString(), c.json);
    if (!c.json) {
      EXPECT_EQ(value.asString(), c.raw);
    }
  }
}

TEST(DecodeUrlEncodedTest, DecodesPairsAndRejectsBrokenEncoding) {
  std::vector<WireParam> out;
  std::string error;
  ASSERT_TRUE(DecodeUrlEncoded("a=1&b=%20x+y&&flag&e=&%5Bk%5D=%7b%7D&c=a=b", &out, &error));
  std::vector<WireParam> expected = {{"a", "1"}, {"b", " x y"}, {"flag", ""},
                                     {"e", ""},  {"[k]", "{}"}, {"c", "a=b"}};
  EXPECT_EQ(out, expected);
  out.clear();
  EXPECT_TRUE(DecodeUrlEncoded("&&", &out, &error));
  EXPECT_TRUE(out.empty());
  for (const char* text :
       {"a=%", "a=%2", "a=%zz", "a=%2g", "%=1", "a=1&b=%4", "=1", "=", "a=1&=2"}) {
    error.clear();
    EXPECT_FALSE(DecodeUrlEncoded(text, &out, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
}  // namespace host
}  // namespace kinoro
