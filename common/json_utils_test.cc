#include "common/json_utils.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "common/testing/syslog_recorder.h"
#include "common/testing/temp_dir.h"

namespace {

using kinoro_testing::ClearSyslog;
using kinoro_testing::ReadFile;
using kinoro_testing::SyslogLine;
using kinoro_testing::SyslogLines;
using kinoro_testing::TempDir;
using kinoro_testing::WriteFile;

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

class JsonUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearSyslog(); }
  TempDir dir_;
};

TEST_F(JsonUtilsTest, ReadAcceptsComments) {
  std::string path = dir_.File("advanced.conf");
  ASSERT_TRUE(WriteFile(path,
                        "// settings\n"
                        "{\n"
                        "  \"a\": 1, /* inline */ \"b\": [true, \"x\"]\n"
                        "}\n"));
  Json::Value value;
  ASSERT_TRUE(LibKinoro::ReadJsonFromFile(path, value));
  EXPECT_EQ(Parse(R"({"a": 1, "b": [true, "x"]})"), value);
  EXPECT_TRUE(SyslogLines().empty());
}

TEST_F(JsonUtilsTest, ReadFailuresAreSilent) {
  ASSERT_TRUE(WriteFile(dir_.File("bad.json"), "{\"a\": "));
  ASSERT_TRUE(WriteFile(dir_.File("empty.json"), ""));
  for (const std::string& path : {std::string(), dir_.File("missing.json"), dir_.path(),
                                  dir_.File("bad.json"), dir_.File("empty.json")}) {
    Json::Value value;
    EXPECT_FALSE(LibKinoro::ReadJsonFromFile(path, value)) << path;
  }
  EXPECT_TRUE(SyslogLines().empty());
}

TEST_F(JsonUtilsTest, WriteGivesOneCompactLine) {
  std::string path = dir_.File("out.json");
  Json::Value value = Parse(R"({"b": [true, null, 1.5], "a": {"s": "x y"}})");
  ASSERT_TRUE(LibKinoro::WriteJsonToFile(path, value));
  EXPECT_EQ("{\"a\":{\"s\":\"x y\"},\"b\":[true,null,1.5]}\n", ReadFile(path));
  Json::Value back;
  ASSERT_TRUE(LibKinoro::ReadJsonFromFile(path, back));
  EXPECT_EQ(value, back);
  EXPECT_TRUE(SyslogLines().empty());
}

TEST_F(JsonUtilsTest, WriteTruncatesALongerFile) {
  std::string path = dir_.File("out.json");
  ASSERT_TRUE(WriteFile(path, std::string(1000, ' ') + "{\"old\": \"content\"}\n"));
  ASSERT_TRUE(LibKinoro::WriteJsonToFile(path, Json::Value(7)));
  EXPECT_EQ("7\n", ReadFile(path));
}

TEST_F(JsonUtilsTest, FailedWritesLogWhatFailed) {
  const std::string missing_dir = dir_.File("no/such/dir/out.json");
  struct Case {
    std::string path;
    std::string logged;
  } cases[] = {
      {"", "json_utils:55 Bad parameter"},
      {missing_dir, "json_utils:63 failed to write json file[" + missing_dir + "]"},
  };
  for (const Case& c : cases) {
    ClearSyslog();
    EXPECT_FALSE(LibKinoro::WriteJsonToFile(c.path, Json::Value(1)));
    EXPECT_EQ(std::vector<SyslogLine>({{LOG_ERR, c.logged}}), SyslogLines());
  }
  EXPECT_FALSE(kinoro_testing::PathExists(dir_.File("no")));
}

// /dev/full accepts the open and fails every write with ENOSPC: a document
// that fits the stream's buffer only fails when flushed at close, which is
// not checked; one larger than the buffer fails while being inserted.
TEST_F(JsonUtilsTest, StreamErrorsWhileWritingAreReportedAtCloseTheyAreNot) {
  if (!kinoro_testing::PathExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_TRUE(LibKinoro::WriteJsonToFile("/dev/full", Json::Value("small")));
  EXPECT_TRUE(SyslogLines().empty());

  EXPECT_FALSE(LibKinoro::WriteJsonToFile("/dev/full", Json::Value(std::string(1 << 20, 'x'))));
  EXPECT_EQ(
      std::vector<SyslogLine>({{LOG_ERR, "json_utils:63 failed to write json file[/dev/full]"}}),
      SyslogLines());
}

}  // namespace
