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

TEST(DbUtilTest, Md5OfKnownInputs) {
  EXPECT_EQ(HexString(Md5("")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(HexString(Md5("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5(std::string("a\0b", 3)).size(), 16u);
  EXPECT_NE(Md5(std::string("a\0b", 3)), Md5("a"));
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
