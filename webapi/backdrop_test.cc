#include "webapi/backdrop.h"

#include <sys/stat.h>
#include <syslog.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/syslog_recorder.h"
#include "common/testing/temp_dir.h"
#include "kinoro/root.h"
#include "tests/fakes/api_call.h"
#include "tests/fakes/fake_services.h"
#include "tests/fakes/fake_videodb.h"
#include "webapi/entries.h"

namespace velmkr {
namespace webapi {
namespace {

using kinoro_testing::SyslogLines;

std::vector<std::string> LogTexts() {
  std::vector<std::string> texts;
  for (const auto& line : SyslogLines()) {
    EXPECT_EQ(LOG_ERR, line.priority) << line.text;
    texts.push_back(line.text);
  }
  return texts;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class BackdropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::ResetWorld();
    fake::ResetServices();
    kinoro_testing::ClearSyslog();
    fake::Services().shares["media"] = "/volume1/media";
    fake::World().id_types[5] = {12, "movie"};
    fake::World().mapper_ids[{3, "movie"}] = 8;
    fake::World().id_types[8] = {3, "movie"};
  }

  // A downloaded file the fake library "fetched" for `url`.
  std::string ScriptDownload(const std::string& url) {
    const std::string path = tmp_.File("download-" + std::to_string(++downloads_) + ".jpg");
    EXPECT_TRUE(kinoro_testing::WriteFile(path, "\xff\xd8\xff image"));
    fake::World().downloads[url] = path;
    return path;
  }

  kinoro_testing::TempDir tmp_;
  int downloads_ = 0;
};

TEST_F(BackdropTest, AddRejectsInvalidParameters) {
  for (const char* params : {
           R"({"url": "", "mapper_id": 5})",
           R"({"sharepath": "", "mapper_id": 5})",
           R"({"url": 7, "mapper_id": 5})",
           R"({"sharepath": "/media/a.jpg", "mapper_id": 0})",
           R"({"sharepath": "/media/a.jpg", "mapper_id": "5"})",
           R"({"sharepath": "/media/a.jpg", "id": 0, "type": "movie"})",
           R"({"sharepath": "/media/a.jpg", "id": 3, "type": "Movie"})",
           R"({"sharepath": "/media/a.jpg", "id": 3, "type": "episode"})",
           R"({"sharepath": "/media/a.jpg", "mapper_id": 5, "keep_one": "true"})",
           R"({"sharepath": "/media/a.jpg", "mapper_id": 5, "keep_one": 1})",
       }) {
    SCOPED_TRACE(params);
    fake::ResetWorld();
    fake::CallResult result = fake::Call(BackdropAdd_v1, fake::Params(params));
    EXPECT_EQ(120, result.error_code);
    EXPECT_TRUE(result.data.isNull());
    EXPECT_TRUE(fake::World().add_calls.empty());
    EXPECT_EQ(0, fake::World().calls) << "no library call before the checks pass";
  }
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(BackdropTest, AddWithoutImageSource) {
  fake::CallResult result = fake::Call(BackdropAdd_v1, fake::Params(R"({"mapper_id": 5})"));
  EXPECT_EQ(117, result.error_code);
  EXPECT_EQ(std::vector<std::string>{"backdrop:201 file_source Process failed"}, LogTexts());
  EXPECT_TRUE(fake::World().add_calls.empty());
  EXPECT_TRUE(fake::Services().queued.empty());
}

TEST_F(BackdropTest, AddFromShareResolvesPaths) {
  // A client's path goes into the log escaped and capped at 256 bytes, cut
  // before a character that would not fit whole.
  const std::string long_path = "/photos/" + std::string(300, 'x');
  const std::string cut_utf8 = "/photos/" + std::string(244, 'x') + "\xc3\xa9" + "yyyyyyyyyy";
  const struct {
    std::string share_path;
    const char* image_path;  // "" when the path cannot be resolved
    std::vector<std::string> log;
  } cases[] = {
      {"/media/films/a.jpg", "/volume1/media/films/a.jpg", {}},
      {"/media/", "/volume1/media", {}},  // the share's root itself
      {"/media//x.jpg", "/volume1/media//x.jpg", {}},
      {"/media",
       "",
       {"backdrop:78 not found", "backdrop:114 GetFullPath failed /media",
        "backdrop:201 file_source Process failed"}},
      {"/photos/a.jpg",
       "",
       {"backdrop:114 GetFullPath failed /photos/a.jpg",
        "backdrop:201 file_source Process failed"}},
      {"/photos/a.jpg\nbackdrop:201 forged\r\x1b[2J\\",
       "",
       {"backdrop:114 GetFullPath failed /photos/a.jpg\\nbackdrop:201 forged\\r\\x1b[2J\\\\",
        "backdrop:201 file_source Process failed"}},
      {long_path,
       "",
       {"backdrop:114 GetFullPath failed " + long_path.substr(0, 253) + "...",
        "backdrop:201 file_source Process failed"}},
      {cut_utf8,
       "",
       {"backdrop:114 GetFullPath failed " + cut_utf8.substr(0, 252) + "...",
        "backdrop:201 file_source Process failed"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.share_path.substr(0, 40));
    fake::ResetWorld();
    SetUp();
    Json::Value params;
    params["sharepath"] = c.share_path;
    params["mapper_id"] = 5;
    fake::CallResult result = fake::Call(BackdropAdd_v1, params);
    EXPECT_EQ(c.log, LogTexts());
    if (*c.image_path) {
      ASSERT_TRUE(result.success);
      ASSERT_EQ(1u, fake::World().add_calls.size());
      EXPECT_EQ(c.image_path, std::get<1>(fake::World().add_calls[0]));
    } else {
      EXPECT_EQ(117, result.error_code);
      EXPECT_TRUE(fake::World().add_calls.empty());
    }
    // Every share record that was handed out went back.
    EXPECT_EQ(static_cast<int>(*c.image_path != 0), fake::Services().share_frees);
  }
}

TEST_F(BackdropTest, UrlWinsOverShareAndTheDownloadIsRemoved) {
  const std::string download = ScriptDownload("http://images.example/a.jpg");
  fake::CallResult result = fake::Call(
      BackdropAdd_v1,
      fake::Params(
          R"({"url": "http://images.example/a.jpg", "sharepath": "/media/b.jpg", "mapper_id": 5})"));
  ASSERT_TRUE(result.success);
  ASSERT_EQ(1u, fake::World().add_calls.size());
  EXPECT_EQ(download, std::get<1>(fake::World().add_calls[0]));
  EXPECT_EQ(0, fake::Services().share_gets);
  EXPECT_FALSE(Exists(download));
}

TEST_F(BackdropTest, FailedDownloadIsLogged) {
  const struct {
    const char* url;
    const char* logged;
  } cases[] = {
      {"http://nowhere.example/x.jpg", "http://nowhere.example/x.jpg"},
      // A line break in the URL must not start a line of its own.
      {"http://nowhere.example/x.jpg\r\nbackdrop:201 forged",
       "http://nowhere.example/x.jpg\\r\\nbackdrop:201 forged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    kinoro_testing::ClearSyslog();
    Json::Value params;
    params["url"] = c.url;
    params["mapper_id"] = 5;
    fake::CallResult result = fake::Call(BackdropAdd_v1, params);
    EXPECT_EQ(117, result.error_code);
    EXPECT_EQ(
        (std::vector<std::string>{std::string("backdrop:104 DownloadImage failed ") + c.logged,
                                  "backdrop:201 file_source Process failed"}),
        LogTexts());
  }
}

TEST_F(BackdropTest, VideoIdentityAndBackupRecord) {
  const struct {
    const char* params;
    int mapper_id;
    const char* record;
  } cases[] = {
      // A mapper id alone: id and type come from it.
      {R"({"sharepath": "/media/a.jpg", "mapper_id": 5})", 5, "b:movie:12"},
      // Id and type: the mapper id is looked up.
      {R"({"sharepath": "/media/a.jpg", "id": 3, "type": "movie"})", 8, "b:movie:3"},
      // Both: the mapper id wins for the lookup, id and type name the backup.
      {R"({"sharepath": "/media/a.jpg", "mapper_id": 5, "id": 4, "type": "tvshow"})", 5,
       "b:tvshow:4"},
      // A mapper id with only a type: id and type are replaced from the mapper.
      {R"({"sharepath": "/media/a.jpg", "mapper_id": 5, "type": "tvshow"})", 5, "b:movie:12"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    SetUp();
    fake::CallResult result = fake::Call(BackdropAdd_v1, fake::Params(c.params));
    ASSERT_TRUE(result.success);
    ASSERT_EQ(1u, fake::World().add_calls.size());
    EXPECT_EQ(c.mapper_id, std::get<0>(fake::World().add_calls[0]));
    ASSERT_EQ(1u, fake::Services().queued.size());
    EXPECT_EQ(c.record, fake::Services().queued[0].first);
    EXPECT_EQ(KINORO_PATH("/var/spool/velm_video_metadata.queue"),
              fake::Services().queued[0].second);
    ASSERT_EQ(1u, fake::Services().signals.size());
    EXPECT_EQ(KINORO_PATH("/var/run/velmvideometadatad.pid"), fake::Services().signals[0].first);
    EXPECT_EQ(10, fake::Services().signals[0].second);
  }
}

TEST_F(BackdropTest, UnknownVideo) {
  const struct {
    const char* params;
    std::vector<std::string> log;
  } cases[] = {
      {R"({"sharepath": "/media/a.jpg", "id": 99, "type": "movie"})",
       {"backdrop:147 GetMapperID failed", "backdrop:207 id_source Process failed"}},
      {R"({"sharepath": "/media/a.jpg", "mapper_id": 77})",
       {"backdrop:207 id_source Process failed"}},
      // Neither mapper id nor id: the lookup of (-1, "") fails.
      {R"({"sharepath": "/media/a.jpg"})",
       {"backdrop:147 GetMapperID failed", "backdrop:207 id_source Process failed"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    SetUp();
    fake::CallResult result = fake::Call(BackdropAdd_v1, fake::Params(c.params));
    EXPECT_EQ(117, result.error_code);
    EXPECT_EQ(c.log, LogTexts());
    EXPECT_TRUE(fake::World().add_calls.empty());
  }
}

TEST_F(BackdropTest, LibraryAddResult) {
  const struct {
    int add_result;
    int queue_result;
    bool success;
    size_t signals;
  } cases[] = {{7, 0, true, 1}, {0, 0, true, 1}, {-1, 0, false, 0}, {7, -1, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.add_result);
    SetUp();
    fake::World().add_result = c.add_result;
    fake::Services().queue_result = c.queue_result;
    fake::CallResult result = fake::Call(
        BackdropAdd_v1, fake::Params(R"({"sharepath": "/media/a.jpg", "mapper_id": 5, "keep_one": true})"));
    EXPECT_EQ(c.success, result.success);
    if (c.success) {
      EXPECT_EQ(c.add_result, result.data["id"].asInt());
      EXPECT_TRUE(std::get<2>(fake::World().add_calls[0])) << "keep_one is passed on";
    } else {
      EXPECT_EQ(117, result.error_code);
      EXPECT_TRUE(fake::Services().queued.empty());
    }
    EXPECT_EQ(c.signals, fake::Services().signals.size());
    EXPECT_TRUE(LogTexts().empty() || c.queue_result < 0);
  }
}

// Failing each library call in turn ends in a clean answer and never leaves
// a download behind (call 1 is the download itself: nothing was fetched).
TEST_F(BackdropTest, EveryLibraryFailureIsAnsweredAndCleansUp) {
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    SetUp();
    fake::World().fail_at_call = n;
    const std::string download = ScriptDownload("http://images.example/a.jpg");
    fake::CallResult result = fake::Call(
        BackdropAdd_v1,
        fake::Params(R"({"url": "http://images.example/a.jpg", "id": 3, "type": "movie"})"));
    EXPECT_TRUE(result.success || result.error_code == 117);
    if (n > 1) {
      EXPECT_FALSE(Exists(download));
    }
  }
}

TEST_F(BackdropTest, CreateCGIETag) {
  BackdropAPI api(nullptr, nullptr);
  EXPECT_EQ("0000-0000-0000-0000", api.CreateCGIETag(std::string(16, '\0')));
  std::string digest = "\x0a\xb0" + std::string(14, '\xff');
  EXPECT_EQ("ab0ffff-ffffffff-ffffffff-ffffffff", api.CreateCGIETag(digest));
  EXPECT_EQ("ab0ffff-ffffffff-ffffffff-ffffffff", api.CreateCGIETag(digest + "extra"));
  EXPECT_EQ("", api.CreateCGIETag(std::string(15, '\x01')));
  EXPECT_EQ("", api.CreateCGIETag(""));
}

struct GetOutcome {
  fake::CallResult result;
  bool output_enabled;
  std::string out;
};

GetOutcome RunGet(const Json::Value& params) {
  GetOutcome outcome;
  VELM::APIRequest request("VELM.Kinoro.Backdrop", 1, "get", params, 1026, false);
  VELM::APIResponse response;
  outcome.out = fake::CaptureStdout([&] { BackdropGet_v1(&request, &response); });
  outcome.output_enabled = response.IsOutputEnabled();
  outcome.result.success = response.IsAnswered();
  return outcome;
}

TEST_F(BackdropTest, GetWithBadMapperIdAnswers404) {
  for (const char* params : {R"({})", R"({"mapper_id": 0})", R"({"mapper_id": -3})",
                             R"({"mapper_id": "5"})"}) {
    SCOPED_TRACE(params);
    kinoro_testing::ClearSyslog();
    GetOutcome got = RunGet(fake::Params(params));
    EXPECT_EQ("Status: 404 Not Found\r\n\r\n", got.out);
    EXPECT_FALSE(got.output_enabled);
    EXPECT_FALSE(got.result.success) << "no JSON answer";
    EXPECT_EQ(std::vector<std::string>{"backdrop:240 input parameter is not valid"}, LogTexts());
  }
}

TEST_F(BackdropTest, GetWritesTheImage) {
  const std::string image(1000, '\x42');
  fake::World().backdrops[5] = {image, std::string(16, '\0') + "tail"};
  fake::World().backdrops[6] = {"\xff\xd8small", "short"};
  fake::World().backdrops[7] = {"", std::string(16, '\x01')};

  GetOutcome with_tag = RunGet(fake::Params(R"({"mapper_id": 5})"));
  EXPECT_EQ("ETag: 0000-0000-0000-0000\r\nContent-Length: 1000\r\nContent-Type: image/jpeg\r\n\r\n" +
                image,
            with_tag.out);
  EXPECT_FALSE(with_tag.output_enabled);

  GetOutcome without_tag = RunGet(fake::Params(R"({"mapper_id": 6})"));
  EXPECT_EQ(
      "Cache-Control: max-age=172800, must-revalidate\r\nContent-Length: 7\r\n"
      "Content-Type: image/jpeg\r\n\r\n\xff\xd8small",
      without_tag.out);

  for (int mapper_id : {7, 8}) {  // an empty image, no backdrop at all
    GetOutcome none = RunGet(fake::Params("{\"mapper_id\": " + std::to_string(mapper_id) + "}"));
    EXPECT_EQ("Status: 404 Not Found\r\n\r\n", none.out);
  }
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(BackdropTest, DeleteAll) {
  const struct {
    const char* params;
    int library_result;
    int error_code;  // 0: success
  } cases[] = {
      {R"({"mapper_id": 5})", 1, 0},  {R"({"mapper_id": 5})", 3, 0},
      {R"({"mapper_id": 5})", 0, 117}, {R"({"mapper_id": 0})", 1, 120},
      {R"({})", 1, 120},              {R"({"mapper_id": "5"})", 1, 120},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    SetUp();
    fake::World().delete_all_result = c.library_result;
    fake::CallResult result = fake::Call(BackdropDelete_All_v1, fake::Params(c.params));
    EXPECT_EQ(c.error_code == 0, result.success);
    EXPECT_EQ(c.error_code, result.success ? 0 : result.error_code);
    EXPECT_TRUE(result.data.isNull());
    EXPECT_EQ(c.error_code == 120 ? 0u : 1u, fake::World().delete_all_calls.size());
    EXPECT_TRUE(fake::Services().queued.empty());
    EXPECT_TRUE(fake::Services().signals.empty());
  }
  EXPECT_TRUE(LogTexts().empty());
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
