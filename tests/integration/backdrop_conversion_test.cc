// Backdrops and conversion tasks through the loaded module, the real share
// service and the real database library.
#include <string>

#include "libkinoro/api.h"
#include "platform/services/share_config.h"
#include "platform/videodb/image_check.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/integration/module_fixture.h"
#include "velm/caller.h"

namespace integration {
namespace {

const char kBackdrop[] = "VELM.Kinoro.Backdrop";

class BackdropIntegration : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ("", db_.Import(R"({
      "libraries": [{"id": 1, "title": "Films", "type": "movie", "public": true},
                    {"id": 2, "title": "Mine", "type": "movie", "public": false,
                     "users": [1027]}],
      "movies": [{"id": 7, "library_id": 1, "mapper_id": 70, "title": "A"},
                 {"id": 8, "library_id": 2, "mapper_id": 80, "title": "B"}]
    })"));
    // One share, "media", whose root is the temporary folder.
    const std::string config = db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + db_.dir() + R"("}]})");
    VELMShareSetConfigPath(config);
  }
  void TearDown() override { VELMShareSetConfigPath(""); }

  kinoro::host::DispatchResult Get(int mapper_id, unsigned int uid = 1026, bool admin = false) {
    Json::Value params;
    params["mapper_id"] = mapper_id;
    return dispatcher_.Call(kBackdrop, "1", "get", params, uid, admin);
  }
  long long Backdrops(int mapper_id) {
    auto stmt = LibKinoro::db::internal::Connection::Get()->Prepare(
        "SELECT COUNT(*) FROM backdrop WHERE mapper_id = ?1");
    stmt.Bind(1, mapper_id);
    return stmt.Step() ? stmt.ColumnInt64(0) : -1;
  }
};

// A video in a private library, seen by its library's user, another user,
// an administrator and a call with no caller at all (the library used
// directly, outside any host call). Those who may not see it meet a video
// that does not exist: get 404, add 117 (by mapper id, and by id and type,
// which probes GetMapperID), delete_all a success that deletes nothing.
TEST_F(BackdropIntegration, APrivateVideoIsInvisibleToOthers) {
  const std::string image = videodb_test::FakeJpeg(2048, 3);
  db_.WriteFile("fanart.jpg", image);
  struct Seen {
    bool got;
    int add_by_mapper;  // the answer's error code, 0 on success
    int add_by_id;
    bool deleted_ok;
    long long left;  // backdrops of the video after delete_all
  };
  const Seen kVisible = {true, 0, 0, true, 0};
  const Seen kHidden = {false, 117, 117, true, 1};
  const struct {
    const char* who;
    bool host_call;
    unsigned int uid;
    bool admin;
    Seen expected;
  } cases[] = {
      {"owner", true, 1027, false, kVisible},
      {"other user", true, 1026, false, kHidden},
      {"administrator", true, 1024, true, kVisible},
      {"no caller", false, 0, false, kHidden},
  };
  LibKinoro::db::api::BackdropAPI library;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    // One backdrop to find, stored as a tool would.
    velm::SetCallerSystem();
    ASSERT_NE(0, library.DeleteAll(80));
    ASSERT_GE(library.Add(80, db_.dir() + "/fanart.jpg", false), 0);
    Seen seen{};
    if (c.host_call) {
      velm::SetCallerSystem();  // the host names its own caller for the call
      kinoro::host::DispatchResult got = Get(80, c.uid, c.admin);
      ASSERT_TRUE(got.is_raw);
      seen.got = got.raw.status == 200 && got.raw.body == image;
      Json::Value add;
      add["sharepath"] = "/media/fanart.jpg";
      add["mapper_id"] = 80;
      seen.add_by_mapper = Call(kBackdrop, "add", add, c.uid, c.admin)["error"]["code"].asInt();
      add.removeMember("mapper_id");
      add["id"] = 8;
      add["type"] = "movie";
      seen.add_by_id = Call(kBackdrop, "add", add, c.uid, c.admin)["error"]["code"].asInt();
      Json::Value by_mapper;
      by_mapper["mapper_id"] = 80;
      Json::Value deleted = Call(kBackdrop, "delete_all", by_mapper, c.uid, c.admin);
      seen.deleted_ok = deleted["success"].asBool();
      EXPECT_EQ(velm::CallerKind::kNone, velm::GetCaller().kind) << "the host left a caller set";
    } else {
      velm::ClearCaller();
      std::string digest;
      seen.got = library.GetByMapperID(80, digest) == image;
      // The module answers 117 when these fail.
      seen.add_by_mapper = library.Add(80, db_.dir() + "/fanart.jpg", false) >= 0 ? 0 : 117;
      seen.add_by_id =
          library.GetMapperID(8, "movie") == 80 && library.GetIDTypeFromMapperID(80).first == 8
              ? 0
              : 117;
      seen.deleted_ok = library.DeleteAll(80) != 0;
    }
    seen.left = Backdrops(80);
    EXPECT_EQ(c.expected.got, seen.got);
    EXPECT_EQ(c.expected.add_by_mapper, seen.add_by_mapper);
    EXPECT_EQ(c.expected.add_by_id, seen.add_by_id);
    EXPECT_EQ(c.expected.deleted_ok, seen.deleted_ok);
    EXPECT_EQ(c.expected.left, seen.left);
  }
}

// The host clears the caller after a call that threw, too.
TEST_F(BackdropIntegration, TheCallerEndsWithACallThatThrows) {
  std::string error;
  ASSERT_TRUE(dispatcher_.LoadModule(KINORO_HOST_TEST_MODULE, &error)) << error;
  velm::SetCallerSystem();
  EXPECT_EQ(100, dispatcher_
                     .Call("Kinoro.Test", "1", "throw", Json::Value(Json::objectValue), 1026, false)
                     .ErrorCode());
  EXPECT_EQ(velm::CallerKind::kNone, velm::GetCaller().kind);
}

TEST_F(BackdropIntegration, AddGetDeleteAll) {
  const std::string image = videodb_test::FakeJpeg(4096, 1);
  db_.WriteFile("fanart.jpg", image);

  // Nothing yet: a raw 404.
  kinoro::host::DispatchResult missing = Get(70);
  ASSERT_TRUE(missing.is_raw) << missing.envelope;
  EXPECT_EQ(404, missing.raw.status);

  Json::Value add;
  add["sharepath"] = "/media/fanart.jpg";
  add["id"] = 7;
  add["type"] = "movie";
  Json::Value added = Call(kBackdrop, "add", add, 1026, false);
  ASSERT_TRUE(added["success"].asBool()) << added;
  EXPECT_GE(added["data"]["id"].asInt(), 0);

  kinoro::host::DispatchResult got = Get(70);
  ASSERT_TRUE(got.is_raw) << got.envelope;
  EXPECT_EQ(200, got.raw.status);
  EXPECT_EQ(image, got.raw.body);
  ASSERT_NE(nullptr, got.raw.FindHeader("Content-Type"));
  EXPECT_EQ("image/jpeg", *got.raw.FindHeader("Content-Type"));
  ASSERT_NE(nullptr, got.raw.FindHeader("ETag"));
  EXPECT_EQ(std::to_string(image.size()), *got.raw.FindHeader("Content-Length"));

  Json::Value by_mapper;
  by_mapper["mapper_id"] = 70;
  EXPECT_TRUE(Call(kBackdrop, "delete_all", by_mapper, 1026, false)["success"].asBool());
  EXPECT_EQ(404, Get(70).raw.status);
}

TEST_F(BackdropIntegration, RefusedImagesChangeNothing) {
  db_.WriteFile("notes.jpg", "just some text, not an image");
  // 41 bytes that start like a JPEG and hold a page.
  std::string page = "\xff\xd8\xff\xe0<html><script>alert(1)</script></html>";
  page.resize(41, ' ');
  db_.WriteFile("page.jpg", page);
  const std::string before = db_.Snapshot();
  for (const char* share_path :
       {"/media/notes.jpg", "/media/page.jpg", "/media/absent.jpg", "/photos/a.jpg"}) {
    SCOPED_TRACE(share_path);
    Json::Value add;
    add["sharepath"] = share_path;
    add["mapper_id"] = 70;
    EXPECT_EQ(117, Call(kBackdrop, "add", add, 1026, false)["error"]["code"].asInt());
  }
  EXPECT_EQ(before, db_.Snapshot());
  EXPECT_EQ(404, Get(70).raw.status);
}

// "get" answers every backdrop as image/jpeg, so a PNG is stored as a JPEG.
TEST_F(BackdropIntegration, APngIsServedAsAJpeg) {
  db_.WriteFile("fanart.png", videodb_test::EncodePng(40, 30, true));
  Json::Value add;
  add["sharepath"] = "/media/fanart.png";
  add["mapper_id"] = 70;
  ASSERT_TRUE(Call(kBackdrop, "add", add, 1026, false)["success"].asBool());
  kinoro::host::DispatchResult got = Get(70);
  ASSERT_TRUE(got.is_raw);
  ASSERT_EQ(200, got.raw.status);
  LibKinoro::db::internal::ImageHeader header;
  std::string error;
  ASSERT_TRUE(LibKinoro::db::internal::ReadImageHeader(got.raw.body, &header, &error)) << error;
  EXPECT_EQ(LibKinoro::db::internal::ImageFormat::kJpeg, header.format);
  EXPECT_EQ(40u, header.width);
  EXPECT_EQ(30u, header.height);
}

// The conversion switch is off in this system: every method answers 105.
TEST_F(ModuleTest, OfflineConversionIsSwitchedOff) {
  for (const char* method :
       {"list", "create", "delete", "stop", "stop_all", "restart", "restart_all"}) {
    SCOPED_TRACE(method);
    Json::Value envelope =
        Call("VELM.Kinoro.OfflineConversion", method, Json::Value(Json::objectValue), 1024, true);
    EXPECT_FALSE(envelope["success"].asBool());
    EXPECT_EQ(105, envelope["error"]["code"].asInt());
  }
}

}  // namespace
}  // namespace integration
