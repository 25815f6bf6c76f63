#include "webapi/apivalidator.h"

#include <climits>

#include <gtest/gtest.h>

#include "tests/fakes/api_call.h"

namespace velmkr {
namespace webapi {
namespace apivalidator {
namespace {

TEST(IntValidators, Boundaries) {
  struct Case {
    int value;
    bool greater_zero, greater_equal_zero, greater_equal_negative_one;
  } const cases[] = {
      {INT_MIN, false, false, false}, {-2, false, false, false}, {-1, false, false, true},
      {0, false, true, true},         {1, true, true, true},     {INT_MAX, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(c.greater_zero, IntGreaterZero(c.value));
    EXPECT_EQ(c.greater_equal_zero, IntGreaterEqualZero(c.value));
    EXPECT_EQ(c.greater_equal_negative_one, IntGreaterEqualNegativeOne(c.value));
  }
}

TEST(LLongGreaterZero, AcceptsPositiveBeyondInt) {
  EXPECT_TRUE(LLongGreaterZero(1));
  EXPECT_TRUE(LLongGreaterZero(static_cast<long long>(INT_MAX) + 1));
  EXPECT_TRUE(LLongGreaterZero(LLONG_MAX));
  EXPECT_FALSE(LLongGreaterZero(0));
  EXPECT_FALSE(LLongGreaterZero(-1));
  EXPECT_FALSE(LLongGreaterZero(LLONG_MIN));
}

TEST(JsonIntArrayGreaterZero, Table) {
  struct Case {
    const char* json;
    bool valid;
  } const cases[] = {
      {"[]", true},
      {"null", true},
      {"[1, 2]", true},
      {"[2147483647]", true},
      {"[1, 0]", false},
      {"[-1]", false},
      {"[1, \"2\"]", false},
      {"[1.5]", false},
      {"[true]", false},
      {"[[1]]", false},
      {"[2147483648]", false},  // does not fit an int
      {"{}", false},
      {"{\"a\": 1}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(c.valid, JsonIntArrayGreaterZero(fake::Params(c.json)));
  }
}

TEST(StringValidators, NotEmptyAndSortDirection) {
  EXPECT_TRUE(StringNotEmpty("x"));
  EXPECT_TRUE(StringNotEmpty(" "));
  EXPECT_FALSE(StringNotEmpty(""));

  for (const char* ok : {"asc", "desc"}) EXPECT_TRUE(StringIsSortDirection(ok)) << ok;
  for (const char* bad : {"", "ASC", "Desc", "ascending", "descx", " asc", "as"}) {
    EXPECT_FALSE(StringIsSortDirection(bad)) << bad;
  }
}

}  // namespace
}  // namespace apivalidator
}  // namespace webapi
}  // namespace velmkr
