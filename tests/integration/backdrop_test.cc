// Backdrops through the loaded module and the real share, queue and signal
// services. The library's checks of the image and its path are in its own
// tests; the parameter checks and the switched-off conversions that the API
// reference test pins are not repeated here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kinoro/root.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/integration/module_fixture.h"
#include "tests/support/daemon_stand_in.h"
#include "tests/videodb/local_http_server.h"

namespace integration {
namespace {

const char kBackdrop[] = "VELM.Kinoro.Backdrop";
const char kNotFound[] = "Status: 404 Not Found\r\n\r\n";
const char kQueue[] = KINORO_PATH("/var/spool/velm_video_metadata.queue");
const std::string kNoFile = "backdrop:201 file_source Process failed\n";
const std::string kNoVideo = "backdrop:207 id_source Process failed\n";

class BackdropTest : public ModuleTest {
 protected:
  long long Backdrops(int mapper_id) {
    auto stmt = LibKinoro::db::internal::Connection::Get()->Prepare(
        "SELECT COUNT(*) FROM backdrop WHERE mapper_id = ?1");
    stmt.Bind(1, mapper_id);
    return stmt.Step() ? stmt.ColumnInt64(0) : -1;
  }

  kinoro_testing::ScopedRootFile queue_{kQueue, ""};
  kinoro_testing::ScopedRootFile pid_file_{KINORO_PATH("/var/run/velmvideometadatad.pid")};
  // The metadata daemon: its wake-ups are counted.
  kinoro_testing::DaemonStandIn daemon_{KINORO_PATH("/var/run/velmvideometadatad.pid")};
  // Downloads from the loopback test server are allowed.
  kinoro_testing::ScopedRootFile download_conf_{
      KINORO_PATH("/var/packages/Kinoro/etc/videodb.conf"),
      R"({"download": {"allow_private_addresses": true, "timeout_s": 5}})"};
};

// Before each row movie 4 (mapper 40) has one backdrop. A row gives what
// the module answers, logs and queues (with a wake-up), and the backdrops
// left.
TEST_F(BackdropTest, Add) {
  videodb_test::LocalHttpServer server(3000);
  ASSERT_TRUE(server.ok());
  const struct {
    std::string params;  // "@URL@" stands for the test server's image
    int code;
    std::string log;     // the module's lines
    const char* queued;  // the backup record, "" for none
    long long backdrops;
  } cases[] = {
      // The mapper id finds the video; a given id and type name the record.
      {R"({"sharepath": "/media/f.jpg", "mapper_id": 40})", 0, "", "b:movie:4", 2},
      {R"({"sharepath": "/media/f.jpg", "id": 4, "type": "movie"})", 0, "", "b:movie:4", 2},
      {R"({"sharepath": "/media/f.jpg", "mapper_id": 40, "id": 3, "type": "tvshow"})", 0, "",
       "b:tvshow:3", 2},
      {R"({"sharepath": "/media/f.jpg", "mapper_id": 40, "type": "tvshow"})", 0, "", "b:movie:4",
       2},
      {R"({"sharepath": "/media/f.jpg", "mapper_id": 40, "keep_one": true})", 0, "", "b:movie:4",
       1},
      {R"({"url": "@URL@", "sharepath": "/media/none.jpg", "mapper_id": 40})", 0, "", "b:movie:4",
       2},  // a url wins over a share path
      {R"({"sharepath": "/media/f.jpg", "mapper_id": 0})", 120, "", "", 1},
      {R"({"mapper_id": 40})", 117, kNoFile, "", 1},
      {R"({"sharepath": "/media", "mapper_id": 40})", 117,
       "backdrop:78 not found\nbackdrop:114 GetFullPath failed /media\n" + kNoFile, "", 1},
      // A client's text is logged escaped: a line break forges no line.
      {R"({"sharepath": "/photos/a\nbackdrop:201 forged\r\u001b\\", "mapper_id": 40})", 117,
       "backdrop:114 GetFullPath failed /photos/a\\nbackdrop:201 forged\\r\\x1b\\\\\n" + kNoFile,
       "", 1},
      {R"({"url": "http://127.0.0.1:1/a.jpg\r\nx", "mapper_id": 40})", 117,
       "backdrop:104 DownloadImage failed http://127.0.0.1:1/a.jpg\\r\\nx\n" + kNoFile, "", 1},
      {R"({"sharepath": "/media/f.jpg", "id": 99, "type": "movie"})", 117,
       "backdrop:147 GetMapperID failed\n" + kNoVideo, "", 1},
      {R"({"sharepath": "/media/f.jpg", "mapper_id": 999})", 117, kNoVideo, "", 1},
      {R"({"url": "@URL@", "mapper_id": 999})", 117, kNoVideo, "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    Reset(40);
    std::string params = c.params;
    const size_t url = params.find("@URL@");
    if (url != std::string::npos) params.replace(url, 5, server.Url("/image"));
    kinoro_testing::ClearSyslog();
    const int woken = daemon_.Wakeups();
    const kinoro::host::DispatchResult added = Call(kBackdrop, "add", params);
    EXPECT_EQ(c.code, added.ErrorCode()) << added.envelope;
    EXPECT_EQ(c.code == 0, added.envelope["data"]["id"].asInt() > 0);
    EXPECT_EQ(c.log, Logged("backdrop:"));
    EXPECT_EQ("", Logged("backdrop_api:")) << "the library got what the module refused";
    EXPECT_EQ(*c.queued ? std::string(c.queued) + "\n" : "", kinoro_testing::ReadFile(kQueue));
    EXPECT_EQ(woken + (*c.queued ? 1 : 0), daemon_.Wakeups(*c.queued ? woken + 1 : 0));
    EXPECT_EQ(c.backdrops, Backdrops(40));
    EXPECT_EQ(0, videodb_test::CountFiles(db_.dir() + "/download")) << "a download was left";
    ASSERT_TRUE(queue_.Write(""));
  }
}

TEST_F(BackdropTest, GetAndDeleteAll) {
  Reset(40);
  kinoro_testing::ClearSyslog();
  EXPECT_EQ(kNotFound, Call(kBackdrop, "get", R"({"mapper_id": 0})").raw_text);
  EXPECT_EQ("backdrop:240 input parameter is not valid\n", Logged("backdrop:"));
  EXPECT_EQ(120, Call(kBackdrop, "delete_all", R"({"mapper_id": 0})").ErrorCode());
  // The tag is the image's MD5 digest, each byte in hex without padding.
  const std::string head = "ETag: cdc145b-209222e-43df237-adbe2914\r\nContent-Length: 4096\r\n";
  EXPECT_EQ(head + "Content-Type: image/jpeg\r\n\r\n" + image_,
            Call(kBackdrop, "get", R"({"mapper_id": 40})").raw_text);
  kinoro_testing::ClearSyslog();
  for (int round = 0; round < 2; ++round) {  // the second finds nothing to delete
    EXPECT_EQ(0, Call(kBackdrop, "delete_all", R"({"mapper_id": 40})").ErrorCode());
    EXPECT_EQ(kNotFound, Call(kBackdrop, "get", R"({"mapper_id": 40})").raw_text);
  }
  EXPECT_EQ("", Logged("backdrop:"));
  EXPECT_EQ("", kinoro_testing::ReadFile(kQueue)) << "delete_all queues no backup";
  EXPECT_EQ(0, daemon_.Wakeups());
  // With the database gone get finds nothing and delete_all fails.
  Reset(40);
  ASSERT_EQ(0, rename(db_.db_path().c_str(), (db_.db_path() + ".away").c_str()));
  EXPECT_EQ(kNotFound, Call(kBackdrop, "get", R"({"mapper_id": 40})").raw_text);
  EXPECT_EQ(117, Call(kBackdrop, "delete_all", R"({"mapper_id": 40})").ErrorCode());
}

// Movie 7 (mapper 70) of a private library, seen by its library's user,
// another user and an administrator. Those who may not see it meet a video
// that does not exist: get 404, add 117 (by mapper id, and by id and type,
// which probes the mapper lookup), delete_all a success that deletes nothing.
TEST_F(BackdropTest, APrivateVideoIsInvisibleToOthers) {
  for (const auto& [uid, visible] : {std::pair(1027u, true), {1026u, false}, {1024u, true}}) {
    SCOPED_TRACE(uid);
    Reset(70);
    // Got the image, added by mapper id, by id and type, deleted.
    std::vector<bool> done = {Call(kBackdrop, "get", R"({"mapper_id": 70})", uid).raw.body ==
                              image_};
    for (const char* video : {R"("mapper_id": 70)", R"("id": 7, "type": "movie")"}) {
      const std::string params = std::string(R"({"sharepath": "/media/f.jpg", )") + video + "}";
      done.push_back(Call(kBackdrop, "add", params, uid).ErrorCode() == 0);
    }
    done.push_back(Call(kBackdrop, "delete_all", R"({"mapper_id": 70})", uid).ErrorCode() == 0);
    EXPECT_EQ(velm::CallerKind::kNone, velm::GetCaller().kind) << "the host left a caller set";
    EXPECT_EQ(std::vector<bool>({visible, visible, visible, true}), done);
    EXPECT_EQ(visible ? 0 : 1, Backdrops(70));
  }
}

// The host clears the caller after a call that threw, too.
TEST_F(BackdropTest, TheCallerEndsWithACallThatThrows) {
  std::string error;
  ASSERT_TRUE(dispatcher_.LoadModule(KINORO_HOST_TEST_MODULE, &error)) << error;
  velm::SetCallerSystem();
  EXPECT_EQ(100, Call("Kinoro.Test", "throw", "{}").ErrorCode());
  EXPECT_EQ(velm::CallerKind::kNone, velm::GetCaller().kind);
}

}  // namespace
}  // namespace integration
