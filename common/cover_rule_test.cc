#include "common/cover_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/testing/temp_dir.h"
#include "kinoro/root.h"

namespace {

using kinoro_testing::ScopedRootFile;

constexpr char kSettingsPath[] = KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf");

// Every case runs in its own process, so both caches start empty here.

TEST(CoverRuleTest, RuleIsReadOnceAndKept) {
  ScopedRootFile settings(kSettingsPath,
                          R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "poster:1",
                              "other": [1, 2]})");
  EXPECT_EQ("poster:1", Kinoro::webapi::GetUserPreparedCoverRule());
  ASSERT_TRUE(settings.Write(R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "changed"})"));
  EXPECT_EQ("poster:1", Kinoro::webapi::GetUserPreparedCoverRule());
  { ScopedRootFile removed(kSettingsPath); }  // gone for a moment, then back
  EXPECT_EQ("poster:1", Kinoro::webapi::GetUserPreparedCoverRule());
}

TEST(CoverRuleTest, MissingFileFixesTheEmptyAnswer) {
  ScopedRootFile removed(kSettingsPath);
  EXPECT_EQ("", velmkr::webapi::GetUserPreparedCoverRule());
  ScopedRootFile created(kSettingsPath, R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "r"})");
  EXPECT_EQ("", velmkr::webapi::GetUserPreparedCoverRule());
}

TEST(CoverRuleTest, EachFunctionKeepsItsOwnCache) {
  ScopedRootFile settings(kSettingsPath, R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "A"})");
  EXPECT_EQ("A", velmkr::webapi::GetUserPreparedCoverRule());
  ASSERT_TRUE(settings.Write(R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "B"})"));
  EXPECT_EQ("B", Kinoro::webapi::GetUserPreparedCoverRule());
  ASSERT_TRUE(settings.Write(R"({"cmzvideo_cover": false})"));
  EXPECT_EQ("A", velmkr::webapi::GetUserPreparedCoverRule());
  EXPECT_EQ("B", Kinoro::webapi::GetUserPreparedCoverRule());
}

TEST(CoverRuleTest, CommentsAreAccepted) {
  ScopedRootFile settings(kSettingsPath,
                          "/* package settings */\n"
                          "{\n"
                          "  // turned on by the user\n"
                          "  \"cmzvideo_cover\": true,\n"
                          "  \"cmzvideo_cover_rule\": \"title:bottom\"\n"
                          "}\n");
  EXPECT_EQ("title:bottom", velmkr::webapi::GetUserPreparedCoverRule());
}

TEST(CoverRuleTest, ConcurrentFirstCallsShareOneLoad) {
  ScopedRootFile settings(kSettingsPath,
                          R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "threads"})");
  constexpr int kThreads = 8;
  std::vector<std::string> answers(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
        [&answers, i] { answers[i] = Kinoro::webapi::GetUserPreparedCoverRule(); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& answer : answers) EXPECT_EQ("threads", answer);
}

struct RejectedForm {
  const char* name;
  const char* content;
};

class CoverRuleRejectedTest : public ::testing::TestWithParam<RejectedForm> {};

// Every form gives the empty answer from both functions.
TEST_P(CoverRuleRejectedTest, GivesEmptyRule) {
  ScopedRootFile settings(kSettingsPath, GetParam().content);
  EXPECT_EQ("", velmkr::webapi::GetUserPreparedCoverRule());
  EXPECT_EQ("", Kinoro::webapi::GetUserPreparedCoverRule());
}

const RejectedForm kRejectedForms[] = {
    {"SwitchAsString", R"({"cmzvideo_cover": "true", "cmzvideo_cover_rule": "r"})"},
    {"SwitchAsNumber", R"({"cmzvideo_cover": 1, "cmzvideo_cover_rule": "r"})"},
    {"SwitchFalse", R"({"cmzvideo_cover": false, "cmzvideo_cover_rule": "r"})"},
    {"SwitchNull", R"({"cmzvideo_cover": null, "cmzvideo_cover_rule": "r"})"},
    {"SwitchMissing", R"({"cmzvideo_cover_rule": "r"})"},
    {"RuleMissing", R"({"cmzvideo_cover": true})"},
    {"RuleNumber", R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": 5})"},
    {"RuleNull", R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": null})"},
    {"RuleArray", R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": ["r"]})"},
    {"NotJson", R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "r")"},
    {"TopLevelArray", R"([{"cmzvideo_cover": true, "cmzvideo_cover_rule": "r"}])"},
    {"TopLevelString", R"("cmzvideo_cover")"},
    {"TopLevelNumber", "1"},
    {"EmptyFile", ""},
    {"KeyCaseDiffers", R"({"CMZVideo_Cover": true, "cmzvideo_cover_rule": "r"})"},
};

INSTANTIATE_TEST_SUITE_P(Forms, CoverRuleRejectedTest, ::testing::ValuesIn(kRejectedForms),
                         [](const ::testing::TestParamInfo<RejectedForm>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
