#include "common/dtv_channel.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>

#include "common/testing/temp_dir.h"
#include "kinoro/root.h"

namespace {

using kinoro_testing::ScopedRootFile;
using kinoro_testing::TempDir;
using kinoro_testing::WriteFile;

constexpr char kChannelFile0[] = KINORO_PATH("/var/packages/Kinoro/etc/channels/0channels.conf");

Json::Value Parse(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

Json::Value Entry(const std::string& title, int frequency, int id) {
  Json::Value entry(Json::objectValue);
  entry["title"] = title;
  entry["frequency"] = frequency;
  entry["id"] = id;
  return entry;
}

TEST(DtvLoadChannelsTest, FieldRules) {
  struct Case {
    const char* what;
    std::string content;
    const char* expected;
  } cases[] = {
      {"fields between the second and the last are ignored", "News HD:474:x:y:17\n",
       R"([{"title": "News HD", "frequency": 474, "id": 17}])"},
      {"last line without a line break", "News HD:474:x:y:17",
       R"([{"title": "News HD", "frequency": 474, "id": 17}])"},
      {"one colon: frequency and id share the field", "abc:123\n",
       R"([{"title": "abc", "frequency": 123, "id": 123}])"},
      {"lines without a colon add nothing", "\n# comment\nplain\n\n", "[]"},
      {"leading digits only", "t:12abc:5x\n", R"([{"title": "t", "frequency": 12, "id": 5}])"},
      {"empty fields are 0", "t::\n", R"([{"title": "t", "frequency": 0, "id": 0}])"},
      {"empty title", ":474:17\n", R"([{"title": "", "frequency": 474, "id": 17}])"},
      {"blanks and signs", " t : +12 : -3\n", R"([{"title": " t ", "frequency": 12, "id": -3}])"},
      {"a sign needs its digits next to it", "t:- 5:+x\n",
       R"([{"title": "t", "frequency": 0, "id": 0}])"},
      {"carriage return before the line feed", "t:1:2\r\n",
       R"([{"title": "t", "frequency": 1, "id": 2}])"},
      {"file order", "b:2:20\nno colon\na:1:10\n",
       R"([{"title": "b", "frequency": 2, "id": 20}, {"title": "a", "frequency": 1, "id": 10}])"},
      {"empty file", "", "[]"},
      {"numbers outside int are clamped",
       "a:2147483647:-2147483648\nb:2147483648:-2147483649\n"
       "c:99999999999999999999:-99999999999999999999\n",
       R"([{"title": "a", "frequency": 2147483647, "id": -2147483648},
           {"title": "b", "frequency": 2147483647, "id": -2147483648},
           {"title": "c", "frequency": 2147483647, "id": -2147483648}])"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::string path = dir.File("channels.conf");
    ASSERT_TRUE(WriteFile(path, c.content));
    Json::Value channels;
    EXPECT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels)) << c.what;
    // An empty file leaves a null list null, which compares unequal to [].
    if (channels.isNull()) channels = Json::Value(Json::arrayValue);
    EXPECT_EQ(Parse(c.expected), channels) << c.what;
  }
}

// Lines are read 4095 bytes at a time; the rest of a longer line is read as
// a line of its own.
TEST(DtvLoadChannelsTest, LongLinesAreSplitAt4095Bytes) {
  TempDir dir;
  std::string path = dir.File("channels.conf");
  const std::string first_piece = "t:5:7" + std::string(4090, ' ');  // exactly 4095 bytes
  const std::string fits = "u:6:8" + std::string(4089, ' ');         // 4094 bytes and "\n"
  const std::string no_colon_then_colon = std::string(4095, 'a') + "zz:9";
  ASSERT_TRUE(WriteFile(path, first_piece + ":8\n" + fits + "\n" + no_colon_then_colon + "\n"));
  Json::Value channels;
  ASSERT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels));
  ASSERT_EQ(4u, channels.size()) << channels.toStyledString();
  EXPECT_EQ(Entry("t", 5, 7), channels[0]);
  EXPECT_EQ(Entry("", 8, 8), channels[1]);  // ":8" read as a line
  EXPECT_EQ(Entry("u", 6, 8), channels[2]);
  // The 4095 "a" bytes hold no ":" and add nothing; "zz:9" is a line.
  EXPECT_EQ(Entry("zz", 9, 9), channels[3]);
}

TEST(DtvLoadChannelsTest, ListIsReplacedOnlyWhenTheFileOpens) {
  TempDir dir;
  std::string path = dir.File("channels.conf");
  ASSERT_TRUE(WriteFile(path, "x:1:2\n"));
  Json::Value channels = Parse(R"([{"title": "old", "frequency": 9, "id": 9}, 5])");
  const Json::Value before = channels;
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVLoadChannels(dir.File("missing").c_str(), channels));
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVLoadChannels("", channels));
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVLoadChannels(nullptr, channels));
  EXPECT_EQ(before, channels);

  EXPECT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels));
  EXPECT_EQ(Parse(R"([{"title": "x", "frequency": 1, "id": 2}])"), channels);

  ASSERT_TRUE(WriteFile(path, "no channels\n"));
  EXPECT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels));
  EXPECT_TRUE(channels.isArray());  // emptied, still an array
  EXPECT_EQ(0u, channels.size());

  Json::Value scalar("not a list");
  EXPECT_EQ(0, VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), scalar));
  EXPECT_TRUE(scalar.isNull());
}

// The rest reads channel file 0 under the root.

TEST(DtvLookupTest, FirstChannelWithTheIdGivesTheFrequency) {
  ScopedRootFile file(kChannelFile0, "A:474:17\nB:500:17\nC:600:18\nZero:321:0\n");
  struct Case {
    int id;
    int frequency;
  } cases[] = {{17, 474}, {18, 600}, {0, 321}, {19, 0}, {-17, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.frequency, VELMKinoro::VELMVideoDTVGetFirstFreqency(c.id)) << c.id;
  }
}

TEST(DtvUniqueIdTest, Splitting) {
  ScopedRootFile file(kChannelFile0, "A:474:17\nZero:321:0\n");
  struct Case {
    const char* unique_id;
    int channel;
    int frequency;
    int result;
  } cases[] = {
      {"17@474", 17, 474, 0},
      {"17@text@474", 17, 474, 0},  // between the first and the last "@" is ignored
      {"17@@474", 17, 474, 0},
      {"0@474", 0, 474, -1},
      {"17@", 17, 0, -1},
      {"@474", 0, 474, -1},
      {"17", 17, 474, 0},   // frequency from file 0
      {"99", 99, 0, -1},    // no such channel
      {"abc", 0, 321, -1},  // the lookup runs for channel 0 too
      {"17x@474y", 17, 474, 0},
      {" 17@ 474", 17, 474, 0},
      {"-5@-6", -5, -6, 0},
      {"99999999999@99999999999", INT_MAX, INT_MAX, 0},
      {"", 0, 0, -1},
  };
  for (const Case& c : cases) {
    int channel = 123, frequency = 456;
    EXPECT_EQ(c.result, VELMKinoro::VELMVideoDTVParserUniqueId(c.unique_id, &channel, &frequency))
        << c.unique_id;
    EXPECT_EQ(c.channel, channel) << c.unique_id;
    EXPECT_EQ(c.frequency, frequency) << c.unique_id;
  }
  int channel = 123, frequency = 456;
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVParserUniqueId(nullptr, &channel, &frequency));
  EXPECT_EQ(0, channel);
  EXPECT_EQ(0, frequency);
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVParserUniqueId("17@474", nullptr, &frequency));
}

TEST(DtvUniqueIdTest, BareIdWithoutChannelFile) {
  ScopedRootFile removed(kChannelFile0);
  EXPECT_EQ(0, VELMKinoro::VELMVideoDTVGetFirstFreqency(17));
  int channel = 0, frequency = 0;
  EXPECT_EQ(-1, VELMKinoro::VELMVideoDTVParserUniqueId("17", &channel, &frequency));
  EXPECT_EQ(17, channel);
  EXPECT_EQ(0, frequency);
}

}  // namespace
