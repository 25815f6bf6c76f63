#include "platform/host/dispatcher.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "common/testing/syslog_recorder.h"

namespace kinoro {
namespace host {
namespace {

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kinoro_testing::ClearSyslog();
    std::string error;
    ASSERT_TRUE(dispatcher_.LoadModule(KINORO_TEST_MODULE, &error)) << error;
    ASSERT_TRUE(dispatcher_.LoadModule(KINORO_SECOND_MODULE, &error)) << error;
  }

  DispatchResult Call(const std::string& method, const Json::Value& params = Json::Value()) {
    return dispatcher_.Call("Kinoro.Test", "1", method,
                            params.isNull() ? Json::Value(Json::objectValue) : params, 1026, false);
  }

  Dispatcher dispatcher_;
};

TEST_F(DispatcherTest, ResolvesOrAnswersHostErrors) {
  struct Case {
    const char* api;
    const char* version;
    const char* method;
    int expected;
  };
  const Case cases[] = {
      {"Kinoro.Test", "1", "echo", 0},
      {"Kinoro.Test", "2", "echo", 0},
      {"Kinoro.Other", "1", "hello", 0},
      {"", "1", "echo", kErrorMissingName},
      {"Kinoro.Test", "1", "", kErrorMissingName},
      {"kinoro.test", "1", "echo", kErrorNoSuchApi},
      {"Kinoro.Test", "0", "echo", kErrorBadVersion},
      {"Kinoro.Test", "1.0", "echo", kErrorBadVersion},
      {"Kinoro.Other", "2", "hello", kErrorBadVersion},  // versions are per API
      {"Kinoro.Test", "1", "ECHO", kErrorNoSuchMethod},
      {"Kinoro.Test", "2", "fail", kErrorNoSuchMethod},  // and methods per version
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.api) + " v" + c.version + " " + c.method);
    APIMethodHandler handler = nullptr;
    int version = 0;
    EXPECT_EQ(dispatcher_.Resolve(c.api, c.version, c.method, &handler, &version), c.expected);
    DispatchResult r = dispatcher_.Call(c.api, c.version, c.method, Json::Value(), 0, false);
    EXPECT_FALSE(r.is_raw);
    EXPECT_EQ(r.ErrorCode(), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(r.envelope, Dispatcher::ErrorEnvelope(c.expected));
    }
  }
  EXPECT_TRUE(kinoro_testing::SyslogLines().empty()) << "host errors are answers, not log lines";
}

TEST_F(DispatcherTest, FailuresInsideTheMethodAnswer100AndAreLogged) {
  struct Case {
    const char* method;
    const char* logged;
  };
  const Case cases[] = {
      {"throw", "uncaught exception: test module failure"},
      {"throw_int", "uncaught exception"},
      {"silent", "without an answer"},
      {"raw_garbage", "no empty line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    kinoro_testing::ClearSyslog();
    DispatchResult r = Call(c.method);
    EXPECT_FALSE(r.is_raw);
    EXPECT_EQ(r.envelope, Dispatcher::ErrorEnvelope(kErrorUnexpected));
    const std::vector<kinoro_testing::SyslogLine> logged = kinoro_testing::SyslogLines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, LOG_ERR);
    EXPECT_NE(logged[0].text.find(c.logged), std::string::npos) << logged[0].text;
    EXPECT_NE(logged[0].text.find(std::string("Kinoro.Test v1 ") + c.method), std::string::npos)
        << logged[0].text;
    // The host is still usable after the failure.
    EXPECT_EQ(Call("null_data").ErrorCode(), 0);
  }
}

}  // namespace
}  // namespace host
}  // namespace kinoro
