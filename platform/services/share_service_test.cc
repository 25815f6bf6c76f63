#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/services/share_config.h"
#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace {

using kinoro_testing::WriteFile;
using ::testing::HasSubstr;

class ShareServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { VELMShareSetConfigPath(config_); }
  void TearDown() override { VELMShareSetConfigPath(""); }

  kinoro_testing::TempDir dir_;
  std::string config_ = dir_.File("shares.conf");
};

// A bad entry is skipped (an empty or relative root or a NUL with a line
// saying so, once) and the other shares stay usable; edits are seen at once.
TEST_F(ShareServiceTest, BadEntriesAreSkippedTheRestServed) {
  ASSERT_TRUE(WriteFile(config_, R"({"shares": [
      {"name": "b", "path": "/v/b", "comment": "films"},
      {"name": "nopath"},
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
  EXPECT_STREQ("films", list[0]->szComment);
  EXPECT_STREQ("/v/a", list[1]->szPath);
  EXPECT_STREQ("", list[1]->szComment);
  VELMShareFreeList(list, count);

  PVELMSHARE share = nullptr;
  ASSERT_EQ(0, VELMShareGet("a", &share));
  EXPECT_STREQ("/v/a", share->szPath);
  VELMShareFree(share);
  for (const char* name : {"nopath", "emptypath", "relative", "nul", "A", ""}) {
    share = nullptr;
    EXPECT_EQ(-1, VELMShareGet(name, &share)) << name;
    EXPECT_EQ(nullptr, share);
  }
  const auto lines = kinoro_testing::SyslogLines();
  ASSERT_EQ(3u, lines.size()) << "one line per bad entry, however often the file is read";
  EXPECT_THAT(lines[0].text, HasSubstr("share \"emptypath\" ignored: its path is empty"));
  EXPECT_THAT(lines[1].text, HasSubstr("share \"relative\" ignored: its path "
                                       "\"volume1/relative\" is not an absolute path"));
  EXPECT_THAT(lines[2].text, HasSubstr("share \"nul\" ignored: its name or path holds a NUL"));

  ASSERT_TRUE(WriteFile(config_, R"({"shares": [{"name": "a", "path": "/volume9/a"}]})"));
  ASSERT_EQ(0, VELMShareGet("a", &share));
  EXPECT_STREQ("/volume9/a", share->szPath);
  VELMShareFree(share);
}

TEST_F(ShareServiceTest, BadConfigurationsFailEveryLookup) {
  for (const char* text : {"{not json", R"(["media"])", R"({"shares": {"name": "media"}})"}) {
    ASSERT_TRUE(WriteFile(config_, text));
    PVELMSHARE share = nullptr;
    EXPECT_EQ(-1, VELMShareGet("media", &share)) << text;
    PVELMSHARE* list = nullptr;
    int count = -1;
    EXPECT_EQ(-1, VELMShareList(&list, &count)) << text;
  }
}

}  // namespace
