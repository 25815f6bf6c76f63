#include "platform/host/access_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/host/testdata/temp_dir.h"

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

TEST(AccessLogTest, ReopenFollowsARotatedFile) {
  TempDir dir;
  AccessLog log;
  std::string error;
  ASSERT_TRUE(log.Open(dir.File("access.log"), &error)) << error;
  AccessRecord r;
  r.api = "first";
  log.Write(r);
  ASSERT_EQ(rename(dir.File("access.log").c_str(), dir.File("access.log.1").c_str()), 0);
  r.api = "second";
  log.Write(r);  // still into the old file
  ASSERT_TRUE(log.Reopen(&error)) << error;
  r.api = "third";
  log.Write(r);

  auto read = [](const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  std::string old_file = read(dir.File("access.log.1"));
  std::string new_file = read(dir.File("access.log"));
  EXPECT_NE(old_file.find("api=first"), std::string::npos);
  EXPECT_NE(old_file.find("api=second"), std::string::npos);
  EXPECT_EQ(new_file.find("api=second"), std::string::npos);
  EXPECT_NE(new_file.find("api=third"), std::string::npos);
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
