#include "common/cover_rule.h"

#include <gtest/gtest.h>

#include <string>

#include "kinoro/root.h"
#include "tests/support/temp_dir.h"

namespace {

using kinoro_testing::ScopedRootFile;

constexpr char kSettingsPath[] = KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf");

// Every case runs in its own process, so both caches start empty. The first
// call fixes each function's answer for the process.
TEST(CoverRuleTest, EachFunctionKeepsItsFirstAnswer) {
  ScopedRootFile settings(kSettingsPath, R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "A"})");
  EXPECT_EQ("A", velmkr::webapi::GetUserPreparedCoverRule());
  ASSERT_TRUE(settings.Write(R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "B"})"));
  EXPECT_EQ("B", Kinoro::webapi::GetUserPreparedCoverRule());
  ASSERT_TRUE(settings.Write(R"({"cmzvideo_cover": false})"));
  EXPECT_EQ("A", velmkr::webapi::GetUserPreparedCoverRule());
  EXPECT_EQ("B", Kinoro::webapi::GetUserPreparedCoverRule());
}

class CoverRuleFormTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CoverRuleFormTest, OnlyASwitchedOnStringRuleCounts) {
  ScopedRootFile settings(kSettingsPath, GetParam());
  EXPECT_EQ("", velmkr::webapi::GetUserPreparedCoverRule());
  EXPECT_EQ("", Kinoro::webapi::GetUserPreparedCoverRule());
}

INSTANTIATE_TEST_SUITE_P(
    Refused, CoverRuleFormTest,
    ::testing::Values(R"({"cmzvideo_cover": "true", "cmzvideo_cover_rule": "r"})",
                      R"({"cmzvideo_cover": false, "cmzvideo_cover_rule": "r"})",
                      R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": 5})",
                      R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "r")",
                      R"([{"cmzvideo_cover": true, "cmzvideo_cover_rule": "r"}])"));

}  // namespace
