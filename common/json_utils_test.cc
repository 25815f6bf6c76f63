#include "common/json_utils.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(JsonUtilsTest, WriteGivesOneCompactLineAndLogsWhatFailed) {
  kinoro_testing::TempDir dir;
  const std::string path = dir.File("out.json");
  ASSERT_TRUE(kinoro_testing::WriteFile(path, std::string(1000, ' ') + "{\"old\": \"content\"}"));
  Json::Value value;
  value["b"][0] = true;
  value["a"]["s"] = "x y";
  ASSERT_TRUE(LibKinoro::WriteJsonToFile(path, value));
  EXPECT_EQ("{\"a\":{\"s\":\"x y\"},\"b\":[true]}\n", kinoro_testing::ReadFile(path));
  // Reading is pinned through the module's JSON limits and the cover rule;
  // a file that does not open is a quiet failure.
  EXPECT_FALSE(LibKinoro::ReadJsonFromFile(dir.File("missing.json"), value));

  const std::string missing_dir = dir.File("no/such/dir/out.json");
  EXPECT_FALSE(LibKinoro::WriteJsonToFile("", value));
  EXPECT_FALSE(LibKinoro::WriteJsonToFile(missing_dir, value));
  EXPECT_EQ(std::vector<kinoro_testing::SyslogLine>(
                {{LOG_ERR, "json_utils:55 Bad parameter"},
                 {LOG_ERR, "json_utils:63 failed to write json file[" + missing_dir + "]"}}),
            kinoro_testing::SyslogLines());
}

}  // namespace
