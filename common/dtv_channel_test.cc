#include "common/dtv_channel.h"

#include <gtest/gtest.h>

#include <string>

#include "kinoro/root.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(DtvLoadChannelsTest, FieldRules) {
  const struct {
    const char* content;
    const char* expected;
  } cases[] = {
      // Title, frequency, last field; no line break at the end.
      {"News HD:474:x:y:17", R"([{"title": "News HD", "frequency": 474, "id": 17}])"},
      // One colon: frequency and id share the field. Lines without one add
      // nothing. Leading digits, sign and blanks as strtol reads them.
      {"b:+2x\nno colon\n\na:1: -10\n", R"([{"title": "b", "frequency": 2, "id": 2},
                                           {"title": "a", "frequency": 1, "id": -10}])"},
      {"c:99999999999:-99999999999\n",
       R"([{"title": "c", "frequency": 2147483647, "id": -2147483648}])"},
  };
  kinoro_testing::TempDir dir;
  const std::string path = dir.File("channels.conf");
  for (const auto& c : cases) {
    ASSERT_TRUE(kinoro_testing::WriteFile(path, c.content));
    Json::Value channels(Json::arrayValue), expected;
    channels.append("old");
    ASSERT_TRUE(Json::Reader().parse(c.expected, expected));
    EXPECT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels)) << c.content;
    EXPECT_EQ(expected, channels) << c.content;
  }
  // Untouched when the file does not open; a scalar starts over as null.
  Json::Value channels("not a list");
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVLoadChannels(dir.File("missing").c_str(), channels));
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVLoadChannels("", channels));
  EXPECT_EQ(Json::Value("not a list"), channels);
  ASSERT_TRUE(kinoro_testing::WriteFile(path, "no channels\n"));
  EXPECT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels));
  EXPECT_TRUE(channels.isNull());
}

// A bare channel id takes the frequency of its first line in channel file 0.
TEST(DtvUniqueIdTest, Splitting) {
  const char* const file = KINORO_PATH("/var/packages/Kinoro/etc/channels/0channels.conf");
  kinoro_testing::ScopedRootFile channels(file, "A:474:17\nB:500:17\nZero:321:0\n");
  const struct {
    const char* unique_id;
    int channel;
    int frequency;
    int result;
  } cases[] = {
      {"17@text@474", 17, 474, 0},  // between the first and the last "@" is ignored
      {"0@474", 0, 474, -1}, {"17@", 17, 0, -1}, {"17", 17, 474, 0}, {"99", 99, 0, -1},
      {"abc", 0, 321, -1},  // the lookup runs for channel 0 too
      {nullptr, 0, 0, -1},
  };
  for (const auto& c : cases) {
    int channel = 123, frequency = 456;
    EXPECT_EQ(c.result, VELMKinoro::VELMVideoDTVParserUniqueId(c.unique_id, &channel, &frequency));
    EXPECT_EQ(std::make_pair(c.channel, c.frequency), std::make_pair(channel, frequency))
        << (c.unique_id ? c.unique_id : "(null)");
  }
  int frequency = 0;
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVParserUniqueId("17@474", nullptr, &frequency));
  kinoro_testing::ScopedRootFile removed(file);
  EXPECT_EQ(0, VELMKinoro::VELMVideoDTVGetFirstFreqency(17));
}

}  // namespace
