// Backdrops and conversion tasks through the loaded module, the real share
// service and the real database library.
#include <string>

#include "libkinoro/api.h"
#include "platform/services/share_config.h"
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
  const std::string before = db_.Snapshot();
  for (const char* share_path : {"/media/notes.jpg", "/media/absent.jpg", "/photos/a.jpg"}) {
    SCOPED_TRACE(share_path);
    Json::Value add;
    add["sharepath"] = share_path;
    add["mapper_id"] = 70;
    EXPECT_EQ(117, Call(kBackdrop, "add", add, 1026, false)["error"]["code"].asInt());
  }
  EXPECT_EQ(before, db_.Snapshot());
  EXPECT_EQ(404, Get(70).raw.status);
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
