#include "platform/videodb/config.h"

#include <gtest/gtest.h>

#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

TEST(ConfigTest, EveryMemberIsOptionalAndWrongKindsAreIgnored) {
  videodb_test::TempDb tmp;
  struct Case {
    const char* text;  // nullptr: no file
    bool allow;
    long long max_bytes;
    long timeout_s;
  } cases[] = {
      {nullptr, false, 20971520, 30},
      {"not json", false, 20971520, 30},
      {"[]", false, 20971520, 30},
      {"{}", false, 20971520, 30},
      {R"({"download": 5})", false, 20971520, 30},
      {R"({"download": {"allow_private_addresses": true}})", true, 20971520, 30},
      {R"({"download": {"max_bytes": 1000, "timeout_s": 4}})", false, 1000, 4},
      {R"({"download": {"allow_private_addresses": "yes", "max_bytes": "1", "timeout_s": 0}})",
       false, 20971520, 30},
      {R"({"download": {"max_bytes": -5, "timeout_s": 1.5}})", false, 20971520, 30},
  };
  for (const Case& c : cases) {
    std::string path = tmp.dir() + "/absent.conf";
    if (c.text != nullptr) path = tmp.WriteFile("videodb.conf", c.text);
    DownloadSettings settings = ReadDownloadSettingsFrom(path);
    const char* label = c.text ? c.text : "(no file)";
    EXPECT_EQ(settings.allow_private_addresses, c.allow) << label;
    EXPECT_EQ(settings.max_bytes, c.max_bytes) << label;
    EXPECT_EQ(settings.timeout_s, c.timeout_s) << label;
  }
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
