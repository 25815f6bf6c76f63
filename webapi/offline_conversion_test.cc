#include "webapi/offline_conversion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "common/cover_rule.h"
#include "common/testing/syslog_recorder.h"
#include "common/testing/temp_dir.h"
#include "kinoro/root.h"
#include "platform/services/user_config.h"
#include "tests/fakes/api_call.h"
#include "tests/fakes/fake_videodb.h"
#include "webapi/format.h"

namespace velmkr {
namespace webapi {
namespace {

using kinoro_testing::SyslogLine;
using kinoro_testing::SyslogLines;
using Method = void (OfflineConversionAPI::*)();

// The switch turned on, to reach the work behind it.
class EnabledConversionAPI : public OfflineConversionAPI {
 public:
  using OfflineConversionAPI::OfflineConversionAPI;

 private:
  bool ConversionAllowed() const override { return true; }
};

// Runs one method the way its entry function does: an object on the stack
// for one call.
template <typename Api>
fake::CallResult RunMethod(Method method, const std::string& params, unsigned int uid = 1026,
                           bool admin = false) {
  VELM::APIRequest request("VELM.Kinoro.OfflineConversion", 1, "test", fake::Params(params), uid,
                           admin);
  VELM::APIResponse response;
  {
    Api api(&request, &response);
    (api.*method)();
  }
  EXPECT_TRUE(response.IsAnswered());
  fake::CallResult result;
  result.success = response.IsSuccess();
  result.error_code = response.GetErrorCode();
  result.data = response.GetData();
  return result;
}

fake::CallResult RunEnabled(Method method, const std::string& params, unsigned int uid = 1026,
                            bool admin = false) {
  return RunMethod<EnabledConversionAPI>(method, params, uid, admin);
}

LibKinoro::db::record::OfflineConversionTask MakeTask(int id, unsigned int uid) {
  LibKinoro::db::record::OfflineConversionTask task;
  task.id = id;
  task.uid = uid;
  task.setting.file_id = id * 10;
  return task;
}

class OfflineConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::ResetWorld();
    kinoro_testing::ClearSyslog();
    // Owner names come from a users database that does not exist: empty.
    VelmUserSetDatabasePath(dir_.File("users.db"));
  }
  void TearDown() override { VelmUserSetDatabasePath(""); }

  kinoro_testing::TempDir dir_;
};

const struct {
  const char* name;
  Method method;
} kAllMethods[] = {
    {"list", &OfflineConversionAPI::List_v1},
    {"create", &OfflineConversionAPI::Create_v1},
    {"delete", &OfflineConversionAPI::Delete_v1},
    {"stop", &OfflineConversionAPI::Stop_v1},
    {"stop_all", &OfflineConversionAPI::Stop_All_v1},
    {"restart", &OfflineConversionAPI::Restart_v1},
    {"restart_all", &OfflineConversionAPI::Restart_All_v1},
};

TEST_F(OfflineConversionTest, ShippedSwitchAnswers105BeforeAnythingElse) {
  VELM::APIRequest request("VELM.Kinoro.OfflineConversion", 1, "list", Json::Value(), 1026, true);
  VELM::APIResponse response;
  EXPECT_FALSE(OfflineConversionAPI(&request, &response).GetOfflineConversionPrivage());

  const char* const params[] = {
      R"({})", R"({"file_id": 1, "video_profile": "high", "id": [1], "additional": ["video"]})",
      R"({"file_id": 0, "video_profile": "", "audio_id": -1, "id": [0]})"};
  for (const auto& m : kAllMethods) {
    for (const char* p : params) {
      for (bool admin : {false, true}) {
        SCOPED_TRACE(std::string(m.name) + " " + p);
        const fake::CallResult result = RunMethod<OfflineConversionAPI>(m.method, p, 1026, admin);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(105, result.error_code);
        EXPECT_TRUE(result.data.isNull());
      }
    }
  }
  EXPECT_TRUE(fake::World().conversion_scopes.empty()) << "no database object is made";
  EXPECT_TRUE(fake::World().conversion_calls.empty());
  EXPECT_TRUE(SyslogLines().empty());
}

TEST_F(OfflineConversionTest, ListReachesTheScopedTasksInOrder) {
  fake::World().tasks = {MakeTask(3, 1026), MakeTask(1, 1027), MakeTask(2, 1026)};
  const struct {
    bool admin;
    unsigned int scope;
    std::vector<int> ids;
  } cases[] = {{false, 1026, {3, 2}}, {true, 0, {3, 1, 2}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.admin);
    fake::World().conversion_scopes.clear();
    const fake::CallResult result = RunEnabled(&OfflineConversionAPI::List_v1, "{}", 1026, c.admin);
    ASSERT_TRUE(result.success);
    EXPECT_EQ(std::vector<unsigned int>{c.scope}, fake::World().conversion_scopes);
    EXPECT_EQ(0, fake::World().last_order);
    ASSERT_EQ(1u, result.data.size()) << "only the task member";
    const Json::Value& list = result.data["task"];
    ASSERT_EQ(c.ids.size(), list.size());
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
      EXPECT_EQ(c.ids[i], list[i]["id"].asInt());
      EXPECT_EQ(c.ids[i] * 10, list[i]["setting"]["file_id"].asInt());
      EXPECT_TRUE(list[i]["status"].isMember("owner_name"));
    }
  }
}

TEST_F(OfflineConversionTest, ListWithNoTasksIsAnEmptyArray) {
  // First the library's list fails (the method has no failure of its own),
  // then the only task belongs to someone else.
  fake::World().tasks = {MakeTask(1, 1026)};
  fake::World().fail_at_call = 1;
  for (int round = 0; round < 2; ++round) {
    const fake::CallResult result = RunEnabled(&OfflineConversionAPI::List_v1, "{}", 1001);
    ASSERT_TRUE(result.success);
    EXPECT_EQ(Json::Value(Json::arrayValue), result.data["task"]);
  }
}

TEST_F(OfflineConversionTest, AdditionalSetsTheLoadSwitches) {
  // A real rule shows whether the method hands it on or leaves it alone.
  kinoro_testing::ScopedRootFile settings(
      KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf"),
      R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "rule-1"})");
  const struct {
    const char* params;
    bool poster, video, file, produced;
    const char* rule;
  } cases[] = {
      {R"({})", false, false, false, false, ""},
      {R"({"additional": ["video"]})", true, true, false, false, "rule-1"},
      {R"({"additional": ["file", "produced_file"]})", false, false, true, true, ""},
      {R"({"additional": ["Video", "summary", "produced_file"]})", false, false, false, true, ""},
      {R"({"additional": "video"})", false, false, false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    ASSERT_TRUE(RunEnabled(&OfflineConversionAPI::List_v1, c.params).success);
    const fake::VideodbWorld& w = fake::World();
    EXPECT_EQ(c.poster, w.list_with_poster_mtime);
    EXPECT_EQ(c.video, w.list_with_video);
    EXPECT_EQ(c.file, w.list_with_file);
    EXPECT_EQ(c.produced, w.list_with_produced_file);
    EXPECT_EQ(c.rule, w.list_cover_rule);
  }
  EXPECT_EQ("rule-1", GetUserPreparedCoverRule());
}

TEST_F(OfflineConversionTest, CreateRejectsInvalidParameters) {
  for (const char* params : {
           R"({"video_profile": "high"})",
           R"({"file_id": 0, "video_profile": "high"})",
           R"({"file_id": "7", "video_profile": "high"})",
           R"({"file_id": 7})",
           R"({"file_id": 7, "video_profile": ""})",
           R"({"file_id": 7, "video_profile": "hig"})",
           R"({"file_id": 7, "video_profile": "highest"})",
           R"({"file_id": 7, "video_profile": 1})",
           R"({"file_id": 7, "video_profile": "low", "audio_id": -1})",
           R"({"file_id": 7, "video_profile": "low", "audio_id": "0"})",
       }) {
    SCOPED_TRACE(params);
    const fake::CallResult result = RunEnabled(&OfflineConversionAPI::Create_v1, params);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(120, result.error_code);
    EXPECT_TRUE(result.data.isNull());
  }
  EXPECT_TRUE(fake::World().conversion_scopes.empty());
  EXPECT_TRUE(SyslogLines().empty());
}

TEST_F(OfflineConversionTest, CreateStoresTheSettingAsSentForTheLoginUser) {
  const int default_audio = LibKinoro::db::record::OfflineConversionSetting().audio_id;
  const struct {
    const char* params;
    bool admin;
    const char* profile;
    int audio_id;
  } cases[] = {
      {R"({"file_id": 7, "video_profile": "HIGH"})", false, "HIGH", default_audio},
      {R"({"file_id": 7, "video_profile": "Original", "audio_id": 0})", true, "Original", 0},
      {R"({"file_id": 7, "video_profile": "medium", "audio_id": 3})", false, "medium", 3},
      {R"({"file_id": 7, "video_profile": "lOw", "audio_id": 2})", true, "lOw", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    fake::ResetWorld();
    fake::World().create_result = 31;
    const fake::CallResult result =
        RunEnabled(&OfflineConversionAPI::Create_v1, c.params, 1024, c.admin);
    ASSERT_TRUE(result.success);
    EXPECT_EQ(31, result.data["id"].asInt());
    EXPECT_EQ(1u, result.data.size());
    // An administrator's task is the administrator's own, not user 0's.
    EXPECT_EQ(std::vector<unsigned int>{1024}, fake::World().conversion_scopes);
    ASSERT_EQ(1u, fake::World().created.size());
    EXPECT_EQ(7, fake::World().created[0].file_id);
    EXPECT_EQ(c.profile, fake::World().created[0].video_profile());
    EXPECT_EQ(c.audio_id, fake::World().created[0].audio_id);
  }
  EXPECT_TRUE(SyslogLines().empty());
}

TEST_F(OfflineConversionTest, CreateFailureAnswers117AndLogs) {
  const struct {
    int create_result;
    int fail_at_call;
  } cases[] = {{0, 0}, {-5, 0}, {12, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.create_result);
    fake::ResetWorld();
    kinoro_testing::ClearSyslog();
    fake::World().create_result = c.create_result;
    fake::World().fail_at_call = c.fail_at_call;
    const fake::CallResult result =
        RunEnabled(&OfflineConversionAPI::Create_v1, R"({"file_id": 7, "video_profile": "low"})");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(117, result.error_code);
    EXPECT_TRUE(result.data.isNull());
    EXPECT_THAT(SyslogLines(), ::testing::ElementsAre(
                                   SyslogLine{LOG_ERR, "offline_conversion:143 create failed"}));
  }
}

const struct {
  const char* name;
  Method method;
  const char* call;
} kByIdMethods[] = {
    {"delete", &OfflineConversionAPI::Delete_v1, "Delete"},
    {"stop", &OfflineConversionAPI::Stop_v1, "Stop"},
    {"restart", &OfflineConversionAPI::Restart_v1, "Restart"},
};

TEST_F(OfflineConversionTest, ByIdRejectsAnythingButPositiveIntegers) {
  for (const auto& m : kByIdMethods) {
    for (const char* params :
         {R"({})", R"({"id": [3, 0]})", R"({"id": [-1]})", R"({"id": [1, "2"]})",
          R"({"id": [1.5]})", R"({"id": 3})", R"({"id": "[3]"})", R"({"id": {"a": 1}})"}) {
      SCOPED_TRACE(std::string(m.name) + " " + params);
      const fake::CallResult result = RunEnabled(m.method, params);
      EXPECT_FALSE(result.success);
      EXPECT_EQ(120, result.error_code);
    }
  }
  EXPECT_TRUE(fake::World().conversion_scopes.empty()) << "nothing is called";
}

TEST_F(OfflineConversionTest, ByIdPassesTheIdsInOrderAndFollowsTheResult) {
  const struct {
    const char* params;
    std::vector<int> ids;
    bool admin;
    bool db_result;
  } cases[] = {
      {R"({"id": [3, 1, 2]})", {3, 1, 2}, false, true},
      {R"({"id": []})", {}, true, true},
      {R"({"id": [5]})", {5}, false, false},
  };
  for (const auto& m : kByIdMethods) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(m.name) + " " + c.params);
      fake::ResetWorld();
      fake::World().conversion_result = c.db_result;
      const fake::CallResult result = RunEnabled(m.method, c.params, 1026, c.admin);
      EXPECT_EQ(c.db_result, result.success);
      EXPECT_EQ(c.db_result ? 0 : 117, result.error_code);
      EXPECT_TRUE(result.data.isNull());
      EXPECT_EQ(std::vector<unsigned int>{c.admin ? 0u : 1026u}, fake::World().conversion_scopes);
      EXPECT_EQ(std::vector<std::string>{m.call}, fake::World().conversion_calls);
      EXPECT_EQ(std::vector<std::vector<int>>{c.ids}, fake::World().conversion_ids);
    }
  }
  EXPECT_TRUE(SyslogLines().empty()) << "only create logs its failure";
}

TEST_F(OfflineConversionTest, AllMethodsFollowTheResultInTheCallersScope) {
  const struct {
    Method method;
    const char* call;
  } methods[] = {{&OfflineConversionAPI::Stop_All_v1, "StopAll"},
                 {&OfflineConversionAPI::Restart_All_v1, "RestartAll"}};
  for (const auto& m : methods) {
    for (int fail_at_call : {0, 1}) {
      for (bool admin : {false, true}) {
        SCOPED_TRACE(std::string(m.call) + (admin ? " admin" : "") +
                     (fail_at_call ? " fails" : ""));
        fake::ResetWorld();
        fake::World().fail_at_call = fail_at_call;
        const fake::CallResult result = RunEnabled(m.method, R"({"id": [0]})", 1026, admin);
        EXPECT_EQ(fail_at_call == 0, result.success);
        EXPECT_EQ(fail_at_call == 0 ? 0 : 117, result.error_code);
        EXPECT_TRUE(result.data.isNull());
        EXPECT_EQ(std::vector<unsigned int>{admin ? 0u : 1026u}, fake::World().conversion_scopes);
        EXPECT_EQ(std::vector<std::string>{m.call}, fake::World().conversion_calls);
      }
    }
  }
  EXPECT_TRUE(SyslogLines().empty());
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
