#include "webapi/format.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <memory>
#include <string>

#include "common/testing/temp_dir.h"
#include "platform/services/user_config.h"

namespace velmkr {
namespace webapi {
namespace format {
namespace {

using LibKinoro::db::record::File;
using LibKinoro::db::record::OfflineConversionSetting;
using LibKinoro::db::record::OfflineConversionStatus;
using LibKinoro::db::record::OfflineConversionTask;

File MakeFile(int id, const std::string& path) {
  File file;
  file.id = id;
  file.path = path;
  file.size = 1234;
  file.duration = 88.5;
  return file;
}

OfflineConversionTask MakeTask(unsigned int uid, int state, double progress) {
  LibKinoro::proto::ConversionStatus status;
  status.state = state;
  status.progress = progress;
  status.time_left = 42;
  status.error = 7;
  OfflineConversionTask task;
  task.id = 9;
  task.uid = uid;
  task.status = OfflineConversionStatus(status);
  task.setting.file_id = 3;
  task.setting.set_video_profile("HIGH");
  return task;
}

// A video kind whose own JSON form claims another type than its type name.
class OddVideo : public LibKinoro::db::record::BaseVideo {
 public:
  std::string type_name() const override { return "odd"; }
  Json::Value AsJson() const override {
    Json::Value json(Json::objectValue);
    json["title"] = title;
    json["type"] = "stale";
    return json;
  }
};

class TaskToJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = dir_.File("users.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    const int rc = sqlite3_exec(
        db,
        "CREATE TABLE users (uid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
        " password_hash TEXT NOT NULL, is_admin INTEGER NOT NULL DEFAULT 0);"
        "INSERT INTO users VALUES (1026, 'alice', 'h', 0), (2147483648, 'high', 'h', 0),"
        " (4294967295, 'top', 'h', 1);",
        nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(SQLITE_OK, rc);
    VelmUserSetDatabasePath(path);
  }
  void TearDown() override { VelmUserSetDatabasePath(""); }

  kinoro_testing::TempDir dir_;
};

TEST_F(TaskToJsonTest, OwnerIsUnsignedAndNamedByTheUserService) {
  const struct {
    unsigned int uid;
    const char* name;
  } cases[] = {{1026, "alice"}, {2147483648u, "high"}, {4294967295u, "top"}, {1027, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    const Json::Value json = OfflineConversionTaskToJson(MakeTask(c.uid, 1, 0.5));
    const Json::Value& status = json["status"];
    EXPECT_EQ(Json::uintValue, status["owner"].type());
    EXPECT_EQ(c.uid, status["owner"].asUInt());
    EXPECT_EQ(c.name, status["owner_name"].asString());
    EXPECT_EQ(Json::intValue, json["id"].type());
    EXPECT_EQ(9, json["id"].asInt());
    EXPECT_EQ(42, status["time_left"].asInt());
    EXPECT_EQ(7, status["error"].asInt());
    EXPECT_EQ(6u, status.size());
    EXPECT_EQ(OfflineConversionSettingToJson(MakeTask(c.uid, 1, 0.5).setting), json["setting"]);
    EXPECT_EQ(3u, json.size());
  }
}

TEST_F(TaskToJsonTest, OnlyDoneForcesFullProgress) {
  const struct {
    int state;
    double progress;
    const char* state_text;
    double expected;
  } cases[] = {
      {LibKinoro::proto::CONVERSION_DONE, 0.42, "done", 1.0},
      {LibKinoro::proto::CONVERSION_DONE, 3.0, "done", 1.0},
      {LibKinoro::proto::CONVERSION_CONVERTING, 1.5, "converting", 1.5},
      {LibKinoro::proto::CONVERSION_WAITING, -0.25, "waiting", -0.25},
      {LibKinoro::proto::CONVERSION_STOPPED, 0.99, "stopped", 0.99},
      {LibKinoro::proto::CONVERSION_ERROR, 0.0, "error", 0.0},
      {99, 0.3, "error", 0.3},  // the library names an unknown state "error"
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    const Json::Value status =
        OfflineConversionTaskToJson(MakeTask(1026, c.state, c.progress))["status"];
    EXPECT_EQ(c.state_text, status["state"].asString());
    EXPECT_EQ(Json::realValue, status["progress"].type());
    EXPECT_DOUBLE_EQ(c.expected, status["progress"].asDouble());
  }
}

TEST(SettingToJsonTest, AudioCodecFollowsTheLowestBitOfTheFileId) {
  const struct {
    int file_id;
    const char* codec;
  } cases[] = {{1, "aac_lc"}, {2, "mp3"},          {0, "mp3"},      {-1, "aac_lc"},
               {-2, "mp3"},   {INT_MAX, "aac_lc"}, {INT_MIN, "mp3"}};
  for (const auto& c : cases) {
    OfflineConversionSetting setting;
    setting.file_id = c.file_id;
    setting.audio_id = 4;  // another field does not sway the choice
    const Json::Value json = OfflineConversionSettingToJson(setting);
    EXPECT_EQ(c.codec, json["audio_codec"].asString()) << c.file_id;
    EXPECT_EQ(c.file_id, json["file_id"].asInt());
  }
}

TEST(SettingToJsonTest, AdditionalAlwaysHasAllThreeParts) {
  OfflineConversionSetting setting;
  setting.file_id = 5;
  setting.audio_id = 2;
  setting.set_video_profile("Medium");
  Json::Value json = OfflineConversionSettingToJson(setting);
  EXPECT_EQ("Medium", json["video_profile"].asString()) << "stored case is kept";
  EXPECT_EQ(2, json["audio_id"].asInt());
  EXPECT_EQ(5u, json.size());
  for (const char* part : {"video", "file", "produced_file"}) {
    ASSERT_TRUE(json["additional"].isMember(part)) << part;
    EXPECT_TRUE(json["additional"][part].isObject()) << part;
    EXPECT_TRUE(json["additional"][part].empty()) << part;
  }

  auto movie = std::make_shared<LibKinoro::db::record::Movie>();
  movie->id = 11;
  movie->title = "Heat";
  setting.video = movie;
  setting.file = MakeFile(5, "/volume1/media/heat.mkv");
  json = OfflineConversionSettingToJson(setting);
  EXPECT_EQ("movie", json["additional"]["video"]["type"].asString());
  EXPECT_EQ(setting.file.AsJson(), json["additional"]["file"]);
  EXPECT_TRUE(json["additional"]["produced_file"].empty()) << "nothing produced yet";
}

TEST(FileToJsonTest, OnlyAStoredFileHasAForm) {
  const struct {
    int id;
    const char* path;
    bool stored;
  } cases[] = {{0, "/volume1/a.mkv", false},
               {-3, "/volume1/a.mkv", false},
               {4, "", false},
               {1, "/volume1/a.mkv", true}};
  for (const auto& c : cases) {
    const File file = MakeFile(c.id, c.path);
    const Json::Value json = FileToJson(file);
    EXPECT_TRUE(json.isObject()) << c.id;
    EXPECT_EQ(c.stored ? file.AsJson() : Json::Value(Json::objectValue), json) << c.id;
  }
}

TEST(VideoToJsonTest, TypeIsTheRecordsTypeName) {
  const Json::Value none = VideoToJson(nullptr);
  EXPECT_TRUE(none.isObject());
  EXPECT_TRUE(none.empty());

  auto odd = std::make_shared<OddVideo>();
  odd->title = "Odd";
  const Json::Value json = VideoToJson(odd);
  EXPECT_EQ("odd", json["type"].asString()) << "a stale type member is replaced";
  EXPECT_EQ("Odd", json["title"].asString());
  EXPECT_EQ(2u, json.size());

  auto episode = std::make_shared<LibKinoro::db::record::TVShowEpisode>();
  episode->season = 2;
  EXPECT_EQ("tvshow_episode", VideoToJson(episode)["type"].asString());
  EXPECT_EQ(2, VideoToJson(episode)["season"].asInt()) << "the kind's own form is used";
}

}  // namespace
}  // namespace format
}  // namespace webapi
}  // namespace velmkr
