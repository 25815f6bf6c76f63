#include "platform/videodb/download.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "platform/videodb/image_store.h"
#include "tests/support/syslog_recorder.h"
#include "tests/videodb/local_http_server.h"
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
  const struct {
    const char* what;
    std::vector<const char*> non_public;
    std::vector<const char*> public_ones;  // neighbours of the blocks, and the exceptions
  } groups[] = {
      {"IPv4 loopback, private, link-local, this network, shared, multicast, broadcast",
       {"127.0.0.1", "127.255.1.2", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.0.10",
        "169.254.169.254", "0.0.0.0", "100.64.0.1", "224.0.0.1", "255.255.255.255"},
       {"172.32.0.1", "8.8.8.8", "93.184.216.34"}},
      {"IPv6 loopback, unspecified, link-local, unique local, multicast",
       {"::1", "::", "fe80::1", "febf::1", "fc00::1", "fd12:3456::1", "ff02::1"},
       {"2001:4860:4860::8888"}},
      {"mapped, compatible, NAT64 and 6to4 addresses, judged by the IPv4 address they carry",
       {"::ffff:127.0.0.1", "::ffff:10.0.0.1", "::127.0.0.1", "64:ff9b::7f00:1",
        "2002:7f00:1::", "2002:c0a8:1::1", "64:ff9b::c612:1"},
       {"::ffff:8.8.8.8", "64:ff9b::808:808", "2002:808:808::"}},
      {"the other blocks that are not globally reachable",
       {"198.18.0.1", "198.19.255.255", "192.0.2.1", "198.51.100.7", "203.0.113.9", "192.0.0.8",
        "192.88.99.1", "240.0.0.1", "64:ff9b:1::808:808", "100::1", "2001::1", "2001:2::1",
        "2001:db8::1", "3fff::1", "5f00::1", "4000::1"},
       {"198.20.0.1", "192.0.0.9", "2001:1::1", "2001:4:112::1"}},
  };
  for (const auto& group : groups) {
    SCOPED_TRACE(group.what);
    for (const char* address : group.non_public) EXPECT_TRUE(NonPublic(address)) << address;
    for (const char* address : group.public_ones) EXPECT_FALSE(NonPublic(address)) << address;
  }
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

// Each failure logs why and leaves no file. Loopback is refused by default
// in every spelling of its address: the connected address is judged.
TEST_F(DownloadTest, FailuresLeaveNoFile) {
  DownloadSettings small = allowed_;
  small.max_bytes = 100 * 1024;  // the image is 300 KB
  const DownloadSettings defaults;
  const std::string port = std::to_string(server_.port());
  struct Case {
    std::string what;
    std::string url;
    const DownloadSettings* settings;
    const char* log;
  };
  std::vector<Case> cases = {
      {"404", server_.Url("/missing"), &allowed_, "HTTP 404"},
      {"redirect to file:", server_.Url("/to-file"), &allowed_, "protocol"},
      {"endless redirects", server_.Url("/loop"), &allowed_, "redirects"},
      {"endless body", server_.Url("/endless"), &allowed_, "larger than 1048576 bytes"},
      {"over the cap", server_.Url("/image"), &small, "larger than 102400 bytes"},
      {"slow body", server_.Url("/slow"), &allowed_, "Timeout"},  // 20 s, the limit is 2
      {"file: directly", "file:///etc/hostname", &allowed_, "protocol"},
      {"ftp", "ftp://127.0.0.1:" + port + "/x", &allowed_, "protocol"},
      {"not a url", "::::", &allowed_, "download failed"},
      // A line break in the address must not start a forged log line.
      {"line break", "http://127.0.0.1/x\n:1 forged", &allowed_, "x\\n:1 forged"},
  };
  for (const char* host : {"127.0.0.1", "2130706433", "0x7f.1", "127.1", "localhost",
                           "[::ffff:127.0.0.1]", "0177.0.0.1"}) {
    cases.push_back(
        {host, "http://" + std::string(host) + ":" + port + "/image", &defaults, "is not public"});
  }
  for (const Case& c : cases) {
    kinoro_testing::ClearSyslog();
    EXPECT_EQ(DownloadToFolder(c.url, folder_, *c.settings), "") << c.what;
    EXPECT_EQ(videodb_test::CountFiles(folder_), 0) << c.what;
    EXPECT_THAT(kinoro_testing::SyslogLines(),
                ::testing::Contains(::testing::Field(&kinoro_testing::SyslogLine::text,
                                                     ::testing::HasSubstr(c.log))))
        << c.what;
  }
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
