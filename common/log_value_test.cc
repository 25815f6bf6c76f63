#include "common/log_value.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A value cannot end a log line and forge the next one, and is capped
// without cutting an escape or a UTF-8 sequence.
TEST(LogValueTest, EscapesControlBytesAndCaps) {
  using velmkr::webapi::LogValue;
  EXPECT_EQ("a\\nb\\rc\\td\\\\e\\x01\\x7f\xc3\xa9", LogValue("a\nb\rc\td\\e\x01\x7f\xc3\xa9"));
  const std::string x252(252, 'x');
  EXPECT_EQ(std::string(256, 'y'), LogValue(std::string(256, 'y')));
  EXPECT_EQ(x252 + "...", LogValue(x252 + "\xc3\xa9" + "yyyy"));
  EXPECT_EQ(x252 + "...", LogValue(x252 + "\n" + "yyyy"));
}

}  // namespace
