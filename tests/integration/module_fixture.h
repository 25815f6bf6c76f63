// The module loaded into a host dispatcher, against the real platform
// libraries and a temporary database.
#ifndef KINORO_TESTS_INTEGRATION_MODULE_FIXTURE_H_
#define KINORO_TESTS_INTEGRATION_MODULE_FIXTURE_H_

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "platform/host/dispatcher.h"
#include "tests/videodb/temp_db.h"

namespace integration {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    binary_dir_ = KINORO_BINARY_DIR;
    std::string error;
    ASSERT_TRUE(dispatcher_.LoadModule(binary_dir_ + "/libkinoro_webapi.so", &error)) << error;
  }

  // The envelope of one call.
  Json::Value Call(const std::string& api, const std::string& method, const Json::Value& params,
                   unsigned int uid, bool admin) {
    kinoro::host::DispatchResult result =
        dispatcher_.Call(api, "1", method, params, uid, admin);
    EXPECT_FALSE(result.is_raw);
    return result.envelope;
  }

  std::string binary_dir_;
  videodb_test::TempDb db_;
  kinoro::host::Dispatcher dispatcher_;
};

}  // namespace integration

#endif  // KINORO_TESTS_INTEGRATION_MODULE_FIXTURE_H_
