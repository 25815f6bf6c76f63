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
  struct Case {
    const char* raw;
    const char* expected;  // compact JSON
  };
  const Case cases[] = {
      {"5", "5"},
      {" 7 ", "7"},
      {"1.5", "1.5"},
      {"true", "true"},
      {"\"quoted\"", "\"quoted\""},
      {"[1,\"a\"]", "[1,\"a\"]"},
      {"", "\"\""},
      {"abc", "\"abc\""},
      {"True", "\"True\""},
      {"12abc", "\"12abc\""},
      {"[1,", "\"[1,\""},
      {"[1] // c", "\"[1] // c\""},
      {"007", "\"007\""},
      {"[007]", "\"[007]\""},
      {"1.", "\"1.\""},
      {"-0", "0"},
      {"1e3", "1000.0"},
      {"[\"-\",\"01\",-1]", "[\"-\",\"01\",-1]"},
      {"\"a\\\"007\"", "\"a\\\"007\""},
      {"NaN", "\"NaN\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Compact(ParseWireValue(c.raw)), c.expected) << "raw: " << c.raw;
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

TEST(ParseWireValueTest, LeavesRawTextUnchanged) {
  std::string raw("a\0b \xe2\x82\xac", 7);
  Json::Value v = ParseWireValue(raw);
  ASSERT_TRUE(v.isString());
  EXPECT_EQ(v.asString(), raw);
}

TEST(DecodeUrlEncodedTest, DecodesPairs) {
  std::vector<WireParam> out;
  std::string error;
  ASSERT_TRUE(DecodeUrlEncoded("a=1&b=%20x+y&&flag&e=&%5Bk%5D=%7b%7D&c=a=b", &out, &error));
  std::vector<WireParam> expected = {{"a", "1"}, {"b", " x y"}, {"flag", ""},
                                     {"e", ""},  {"[k]", "{}"}, {"c", "a=b"}};
  EXPECT_EQ(out, expected);
  out.clear();
  EXPECT_TRUE(DecodeUrlEncoded("&&", &out, &error));
  EXPECT_TRUE(out.empty());
}

TEST(DecodeUrlEncodedTest, RejectsBrokenEncoding) {
  for (const char* text :
       {"a=%", "a=%2", "a=%zz", "a=%2g", "%=1", "a=1&b=%4", "=1", "=", "a=1&=2"}) {
    std::vector<WireParam> out;
    std::string error;
    EXPECT_FALSE(DecodeUrlEncoded(text, &out, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
}  // namespace host
}  // namespace kinoro
