#include "platform/host/request_handler.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

// The session cookie among others, in the forms clients send it.
TEST(FindCookieTest, TakesTheFirstIdCookieInAnyForm) {
  struct Case {
    const char* header;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},          {"id=abc", "abc"}, {"a=1; id=abc; b=2", "abc"}, {"xid=1; id=2", "2"},
      {"id=\"q\"", "q"}, {"id", ""},        {" id = v ", "v"},           {"id=1; id=2", "1"}};
  for (const Case& c : cases) EXPECT_EQ(FindCookie(c.header, "id"), c.expected) << c.header;
}

TEST(EtagMatchesTest, ValidatorsThatNameTheTag) {
  const std::pair<const char*, bool> validators[] = {
      {"\"abc\"", true}, {"abc", true},     {"W/\"abc\"", true}, {"\"x\", \"abc\"", true},
      {"*", true},       {"\"ab\"", false}, {"\"ABC\"", false},  {",", false},
  };
  for (const auto& v : validators) EXPECT_EQ(EtagMatches(v.first, "\"abc\""), v.second) << v.first;
}

}  // namespace
}  // namespace host
}  // namespace kinoro
