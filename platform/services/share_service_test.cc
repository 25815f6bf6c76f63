#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/testing/syslog_recorder.h"
#include "common/testing/temp_dir.h"
#include "platform/services/share_config.h"
#include "velm/services.h"

namespace {

using kinoro_testing::TempDir;
using kinoro_testing::WriteFile;

class ShareServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { VELMShareSetConfigPath(config_); }
  void TearDown() override { VELMShareSetConfigPath(""); }

  TempDir dir_;
  std::string config_ = dir_.File("shares.conf");
};

TEST_F(ShareServiceTest, GetFindsShareByNameOnly) {
  ASSERT_TRUE(WriteFile(config_, R"({"shares": [
      {"name": "media", "path": "/volume1/media"},
      {"name": "video", "path": "/volume2/video", "comment": "films"}]})"));
  PVELMSHARE share = nullptr;
  ASSERT_EQ(0, VELMShareGet("video", &share));
  ASSERT_NE(nullptr, share);
  EXPECT_STREQ("video", share->szName);
  EXPECT_STREQ("/volume2/video", share->szPath);
  EXPECT_STREQ("films", share->szComment);
  VELMShareFree(share);

  for (const char* name : {"music", "Media", "", static_cast<const char*>(nullptr)}) {
    share = nullptr;
    EXPECT_EQ(-1, VELMShareGet(name, &share)) << (name ? name : "(null)");
    EXPECT_EQ(nullptr, share);
  }
  EXPECT_EQ(-1, VELMShareGet("media", nullptr));
}

TEST_F(ShareServiceTest, BadConfigurationsFailEveryLookup) {
  const char* configs[] = {
      "",                                  // empty file
      "{not json",                         // parse error
      R"(["media"])",                      // not an object
      R"({"shares": {"name": "media"}})",  // shares not an array
      R"({"other": []})",                  // no shares member
  };
  for (const char* text : configs) {
    ASSERT_TRUE(WriteFile(config_, text));
    PVELMSHARE share = nullptr;
    EXPECT_EQ(-1, VELMShareGet("media", &share)) << text;
    PVELMSHARE* list = nullptr;
    int count = -1;
    EXPECT_EQ(-1, VELMShareList(&list, &count)) << text;
  }
  VELMShareSetConfigPath(dir_.File("missing.conf"));
  PVELMSHARE share = nullptr;
  EXPECT_EQ(-1, VELMShareGet("media", &share));
}

// A bad entry is skipped (an empty or relative root with a line saying so,
// once), and the other shares stay usable.
TEST_F(ShareServiceTest, ListKeepsOrderAndSkipsIncompleteEntries) {
  ASSERT_TRUE(WriteFile(config_, R"({"shares": [
      {"name": "b", "path": "/v/b"},
      {"name": "nopath"},
      {"name": 5, "path": "/v/five"},
      {"name": "", "path": "/v/empty"},
      {"name": "emptypath", "path": ""},
      {"name": "relative", "path": "volume1/relative"},
      {"name": "nul", "path": "/v/n\u0000/etc"},
      "media",
      {"name": "a", "path": "/v/a"}]})"));
  PVELMSHARE* list = nullptr;
  int count = 0;
  ASSERT_EQ(0, VELMShareList(&list, &count));
  ASSERT_EQ(2, count);
  EXPECT_STREQ("b", list[0]->szName);
  EXPECT_STREQ("/v/a", list[1]->szPath);
  EXPECT_STREQ("", list[1]->szComment);
  VELMShareFreeList(list, count);

  for (const char* name : {"nopath", "emptypath", "relative", "nul"}) {
    PVELMSHARE share = nullptr;
    EXPECT_EQ(-1, VELMShareGet(name, &share)) << name;
  }
  std::vector<std::string> lines;
  for (const kinoro_testing::SyslogLine& line : kinoro_testing::SyslogLines()) {
    lines.push_back(line.text);
  }
  const std::string prefix = "share_service:";
  ASSERT_EQ(3u, lines.size()) << "one line per bad entry, however often the file is read";
  EXPECT_NE(std::string::npos, lines[0].find("share \"emptypath\" ignored: its path is empty"));
  EXPECT_NE(std::string::npos,
            lines[1].find("share \"relative\" ignored: its path \"volume1/relative\" is not an "
                          "absolute path"));
  EXPECT_NE(std::string::npos,
            lines[2].find("share \"nul\" ignored: its name or path holds a NUL"));
  EXPECT_EQ(0u, lines[0].find(prefix));
}

TEST_F(ShareServiceTest, EditsAreSeenWithoutRestart) {
  ASSERT_TRUE(WriteFile(config_, R"({"shares": [{"name": "media", "path": "/volume1/media"}]})"));
  PVELMSHARE share = nullptr;
  ASSERT_EQ(0, VELMShareGet("media", &share));
  VELMShareFree(share);
  ASSERT_TRUE(WriteFile(config_, R"({"shares": [{"name": "media", "path": "/volume9/m"}]})"));
  share = nullptr;
  ASSERT_EQ(0, VELMShareGet("media", &share));
  EXPECT_STREQ("/volume9/m", share->szPath);
  VELMShareFree(share);
}

}  // namespace
