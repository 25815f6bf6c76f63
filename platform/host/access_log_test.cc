#include "platform/host/access_log.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

TEST(AccessLogTest, LineFormat) {
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
}

TEST(AccessLogTest, ClientNamesCannotBreakTheLine) {
  AccessRecord r;
  r.api = "a b\nc\x01\xc3\xa9";
  r.method = std::string(100, 'm');
  std::string line = FormatAccessLine(r, 0);
  EXPECT_NE(line.find(" api=a?b?c??? "), std::string::npos) << line;
  EXPECT_NE(line.find(" method=" + std::string(64, 'm') + " "), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1);

  r.api.clear();
  r.method.clear();
  EXPECT_NE(FormatAccessLine(r, 0).find("api=- method=- "), std::string::npos);
}

TEST(AccessLogTest, OpenFailsOnAnUnwritablePath) {
  AccessLog log;
  std::string error;
  EXPECT_FALSE(log.Open("/nonexistent-dir/access.log", &error));
  EXPECT_NE(error.find("/nonexistent-dir/access.log"), std::string::npos);
}

}  // namespace
}  // namespace host
}  // namespace kinoro
