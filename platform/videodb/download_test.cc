#include "platform/videodb/download.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <string>

#include "platform/videodb/image_store.h"
#include "tests/videodb/local_http_server.h"
#include "tests/videodb/syslog_capture.h"
#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

bool NonPublic(const char* text) {
  sockaddr_storage storage = {};
  auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, text, &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, &in6->sin6_addr), 1) << text;
    in6->sin6_family = AF_INET6;
  }
  return IsNonPublicAddress(reinterpret_cast<sockaddr*>(&storage));
}

TEST(DownloadAddressTest, ClassifiesIpv4AndIpv6InEverySpelling) {
  struct Case {
    const char* address;
    bool non_public;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.255.1.2", true},
      {"10.1.2.3", true},
      {"172.16.0.1", true},
      {"172.31.255.255", true},
      {"172.32.0.1", false},
      {"192.168.0.10", true},
      {"169.254.169.254", true},
      {"0.0.0.0", true},
      {"100.64.0.1", true},
      {"224.0.0.1", true},
      {"255.255.255.255", true},
      {"8.8.8.8", false},
      {"93.184.216.34", false},
      {"::1", true},
      {"::", true},
      {"fe80::1", true},
      {"febf::1", true},
      {"fc00::1", true},
      {"fd12:3456::1", true},
      {"ff02::1", true},
      {"::ffff:127.0.0.1", true},
      {"::ffff:10.0.0.1", true},
      {"::ffff:8.8.8.8", false},
      {"::127.0.0.1", true},
      {"64:ff9b::7f00:1", true},
      {"64:ff9b::808:808", false},
      {"2002:7f00:1::", true},
      {"2002:c0a8:1::1", true},
      {"2002:808:808::", false},
      {"2001:4860:4860::8888", false},
      // Blocks that are not globally reachable, and the public exceptions
      // inside them.
      {"198.18.0.1", true},
      {"198.19.255.255", true},
      {"198.20.0.1", false},
      {"192.0.2.1", true},
      {"198.51.100.7", true},
      {"203.0.113.9", true},
      {"192.0.0.8", true},
      {"192.0.0.9", false},
      {"192.88.99.1", true},
      {"240.0.0.1", true},
      {"64:ff9b::c612:1", true},
      {"64:ff9b:1::808:808", true},
      {"100::1", true},
      {"2001::1", true},
      {"2001:2::1", true},
      {"2001:1::1", false},
      {"2001:4:112::1", false},
      {"2001:db8::1", true},
      {"3fff::1", true},
      {"5f00::1", true},
      {"4000::1", true},
  };
  for (const Case& c : cases) EXPECT_EQ(NonPublic(c.address), c.non_public) << c.address;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    folder_ = tmp_.dir() + "/download";
    allowed_.allow_private_addresses = true;
    allowed_.max_bytes = 1024 * 1024;
    allowed_.timeout_s = 2;
  }
  videodb_test::TempDb tmp_;
  videodb_test::LocalHttpServer server_{300 * 1024};
  std::string folder_;
  DownloadSettings allowed_;
};

TEST_F(DownloadTest, SuccessDirectAndThroughARedirect) {
  for (const char* path : {"/image", "/to-image"}) {
    std::string file = DownloadToFolder(server_.Url(path), folder_, allowed_);
    ASSERT_FALSE(file.empty()) << path;
    EXPECT_EQ(file.rfind(folder_ + "/", 0), 0u);
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(file, 1 << 20, &bytes));
    EXPECT_EQ(bytes, server_.image()) << path;
  }
  EXPECT_EQ(videodb_test::CountFiles(folder_), 2);
}

TEST_F(DownloadTest, FailuresLeaveNoFile) {
  DownloadSettings small = allowed_;
  small.max_bytes = 100 * 1024;  // the image is 300 KB
  struct Case {
    const char* what;
    std::string url;
    const DownloadSettings* settings;
    const char* log;
  } cases[] = {
      {"404", server_.Url("/missing"), &allowed_, "HTTP 404"},
      {"redirect to file:", server_.Url("/to-file"), &allowed_, "protocol"},
      {"endless redirects", server_.Url("/loop"), &allowed_, "redirects"},
      {"endless body", server_.Url("/endless"), &allowed_, "larger than 1048576 bytes"},
      {"over the cap", server_.Url("/image"), &small, "larger than 102400 bytes"},
      {"file: directly", "file:///etc/hostname", &allowed_, "protocol"},
      {"ftp", "ftp://127.0.0.1:" + std::to_string(server_.port()) + "/x", &allowed_, "protocol"},
      {"not a url", "::::", &allowed_, "download failed"},
      // A line break in the address must not start a forged log line.
      {"line break", "http://127.0.0.1/x\n:1 forged", &allowed_, "x\\n:1 forged"},
  };
  for (const Case& c : cases) {
    videodb_test::ClearSyslog();
    EXPECT_EQ(DownloadToFolder(c.url, folder_, *c.settings), "") << c.what;
    EXPECT_EQ(videodb_test::CountFiles(folder_), 0) << c.what;
    EXPECT_TRUE(videodb_test::SyslogContains(c.log))
        << c.what << ": " << ::testing::PrintToString(videodb_test::SyslogLines());
  }
}

TEST_F(DownloadTest, SlowBodyEndsAtTheTimeLimit) {
  auto start = std::chrono::steady_clock::now();
  videodb_test::ClearSyslog();
  EXPECT_EQ(DownloadToFolder(server_.Url("/slow"), folder_, allowed_), "");
  EXPECT_TRUE(videodb_test::SyslogContains("Timeout"))
      << ::testing::PrintToString(videodb_test::SyslogLines());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 6.0);
  EXPECT_EQ(videodb_test::CountFiles(folder_), 0);
}

TEST_F(DownloadTest, LoopbackIsRefusedByDefaultInEverySpelling) {
  DownloadSettings defaults;
  std::string port = std::to_string(server_.port());
  for (const std::string host : {"127.0.0.1", "2130706433", "0x7f.1", "127.1", "localhost",
                                 "[::ffff:127.0.0.1]", "0177.0.0.1"}) {
    std::string url = "http://" + host + ":" + port + "/image";
    videodb_test::ClearSyslog();
    EXPECT_EQ(DownloadToFolder(url, folder_, defaults), "") << url;
    EXPECT_TRUE(videodb_test::SyslogContains("is not public"))
        << url << ": " << ::testing::PrintToString(videodb_test::SyslogLines());
  }
  EXPECT_EQ(videodb_test::CountFiles(folder_), 0);
  // The same address is served once private addresses are allowed.
  EXPECT_NE(DownloadToFolder(server_.Url("/image"), folder_, allowed_), "");
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
