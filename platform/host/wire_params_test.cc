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
