#include "platform/host/access_log.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

// The line's form. Client-chosen names are escaped byte by byte and cut at
// 256 bytes, never inside an escape, so a line stays one line; empty: "-".
TEST(AccessLogTest, LineFormatAndClientNamesCannotBreakTheLine) {
  AccessRecord r;
  r.worker = 2;
  r.api = "VELM.Kinoro.Backdrop";
  r.method = "get";
  r.status = 304;
  r.error_code = 0;
  r.milliseconds = 1.234;
  // 2027-01-15T08:00:00.250Z
  EXPECT_EQ(FormatAccessLine(r, 1800000000.25),
            "2027-01-15T08:00:00.250Z worker=2 api=VELM.Kinoro.Backdrop method=get status=304 "
            "error=0 ms=1.23\n");

  r.api = "a b\nc\x01\\\xc3\xa9";
  r.method = std::string(65, '\n');
  std::string line = FormatAccessLine(r, 0);
  EXPECT_NE(line.find(" api=a\\x20b\\x0ac\\x01\\x5c\\xc3\\xa9 "), std::string::npos) << line;
  std::string cut;
  for (int i = 0; i < 63; ++i) cut += "\\x0a";
  EXPECT_NE(line.find(" method=" + cut + "... "), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(EscapeLogValue(std::string(256, 'a')), std::string(256, 'a'));
  EXPECT_EQ(EscapeLogValue(std::string(257, 'a')), std::string(253, 'a') + "...");

  r.api.clear();
  r.method.clear();
  EXPECT_NE(FormatAccessLine(r, 0).find("api=- method=- "), std::string::npos);
}

}  // namespace
}  // namespace host
}  // namespace kinoro
