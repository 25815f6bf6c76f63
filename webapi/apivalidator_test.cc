#include "webapi/apivalidator.h"

#include <gtest/gtest.h>

#include <climits>

#include "tests/videodb/temp_db.h"

namespace velmkr::webapi::apivalidator {
namespace {

// The methods' answers show the validators they use; these have no caller
// in the module (the package's other modules use them) or guard a throw.
TEST(ApiValidatorTest, Boundaries) {
  EXPECT_TRUE(IntGreaterEqualNegativeOne(-1));
  EXPECT_FALSE(IntGreaterEqualNegativeOne(-2));
  EXPECT_TRUE(LLongGreaterZero(static_cast<long long>(INT_MAX) + 1));
  EXPECT_FALSE(LLongGreaterZero(0));
  for (const char* ok : {"asc", "desc"}) EXPECT_TRUE(StringIsSortDirection(ok)) << ok;
  for (const char* bad : {"", "ASC", "ascending"}) EXPECT_FALSE(StringIsSortDirection(bad)) << bad;
  EXPECT_FALSE(JsonIntArrayGreaterZero(videodb_test::ParseJson(R"({"a": 1})")));  // no throw
}

}  // namespace
}  // namespace velmkr::webapi::apivalidator
