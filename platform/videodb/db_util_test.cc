#include "platform/videodb/db_util.h"

#include <gtest/gtest.h>

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

TEST(DbUtilTest, TimesParseInTheAcceptedSpellingsAndFormatAsUtc) {
  struct Case {
    const char* text;
    bool ok;
    const char* formatted;
  } cases[] = {
      {"2024-01-02T03:04:05Z", true, "2024-01-02T03:04:05Z"},
      {"2024-01-02T03:04:05", true, "2024-01-02T03:04:05Z"},
      {"2024-01-02 03:04:05", true, "2024-01-02T03:04:05Z"},
      {"2024-01-02", true, "2024-01-02T00:00:00Z"},
      {"1970-01-01T00:00:00Z", true, "1970-01-01T00:00:00Z"},
      {"2024-01-02T03:04:05Z trailing", false, ""},
      {"02/01/2024", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    long long seconds = -1;
    EXPECT_EQ(ParseTime(c.text, &seconds), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(FormatTime(seconds), c.formatted) << c.text;
    }
  }
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
