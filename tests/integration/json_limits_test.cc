// Every place that parses JSON from outside, fed a document nested deeper
// than jsoncpp's stack limit (the reader throws on it) and a normal one,
// each through the place's own entry point. The too-deep document must be
// that place's ordinary failure, and must not spoil the next parse.
#include <sys/stat.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "common/additional.h"
#include "common/json_utils.h"
#include "common/testing/temp_dir.h"
#include "libkinoro/api.h"
#include "platform/host/wire_params.h"
#include "platform/plugin/plugin_config.h"
#include "platform/services/share_config.h"
#include "platform/videodb/config.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/videodb/temp_db.h"
#include "velm/plugin.h"
#include "velm/services.h"

namespace {

using kinoro_testing::WriteFile;

// One past the reader's limit of 1,000 nested values.
const std::string kTooDeep = std::string(1001, '[') + std::string(1001, ']');

class JsonLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plugins_ = dir_.File("plugins");
    ASSERT_TRUE(kinoro_testing::MakeDirs(plugins_ + "/p"));
    velm_plugin::SetPluginFolder(plugins_);
    // The plug-in answers with whatever "answer" holds.
    const std::string program = plugins_ + "/p/run";
    ASSERT_TRUE(WriteFile(program, "#!/bin/sh\ncat >/dev/null\ncat answer\n"));
    ASSERT_EQ(0, chmod(program.c_str(), 0755));
  }
  void TearDown() override {
    velm_plugin::SetPluginFolder("");
    velm_plugin::SetPluginConfPath("");
    VELMShareSetConfigPath("");
  }

  // Writes `text` to a file of the test's folder and returns its path.
  std::string File(const std::string& name, const std::string& text) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(WriteFile(path, text));
    return path;
  }

  kinoro_testing::TempDir dir_;
  std::string plugins_;
  videodb_test::TempDb db_;
};

TEST_F(JsonLimitsTest, TooDeepIsAnOrdinaryFailureAtEverySite) {
  const std::string kInfo =
      R"({"id": "p", "types": ["movie"], "actions": ["similar"], "exec": "run"})";
  struct Site {
    const char* name;
    std::string normal;
    // True when the site took the text as the JSON it is.
    std::function<bool(const std::string&)> accepts;
  };
  const Site sites[] = {
      // A request parameter's value that is not JSON is a string of its text.
      {"wire parameter value", "[[1], {\"a\": 2}]",
       [](const std::string& text) {
         const Json::Value value = kinoro::host::ParseWireValue(text);
         return !(value.isString() && value.asString() == text);
       }},
      {"module JSON file", R"({"a": [1]})",
       [&](const std::string& text) {
         Json::Value value;
         return LibKinoro::ReadJsonFromFile(File("file.json", text), value);
       }},
      {"module additional list", R"(["summary"])",
       [](const std::string& text) {
         LibKinoro::db::api::MovieAPI api;
         return Kinoro::webapi::ProcessAdditional(text, api);
       }},
      {"database settings", R"({"download": {"timeout_s": 7}})",
       [&](const std::string& text) {
         return LibKinoro::db::internal::ReadDownloadSettingsFrom(File("videodb.conf", text))
                    .timeout_s == 7;
       }},
      {"import document", R"({"libraries": [{"id": 1, "title": "Films", "type": "movie"}]})",
       [&](const std::string& text) {
         std::string error;
         return LibKinoro::db::internal::ImportFile(
             LibKinoro::db::internal::Connection::Get(), File("import.json", text), false,
             nullptr, &error);
       }},
      {"plug-in configuration", R"({"priority": {}})",
       [&](const std::string& text) {
         velm_plugin::SetPluginConfPath(File("plugins.conf", text));
         Json::Value conf;
         return VELMKinoro::VELMVideoLoadPluginFromConf(conf) == 0;
       }},
      {"plug-in INFO", kInfo,
       [&](const std::string& text) {
         EXPECT_TRUE(WriteFile(plugins_ + "/p/INFO", text));
         Json::Value installed;
         VELMKinoro::VELMVideoLoadPluginFromFolder(installed);
         return installed.isMember("p");
       }},
      {"plug-in answer", R"([{"title": "x"}])",
       [&](const std::string& text) {
         EXPECT_TRUE(WriteFile(plugins_ + "/p/INFO", kInfo));
         EXPECT_TRUE(WriteFile(plugins_ + "/p/answer", text));
         Json::Value installed, result;
         VELMKinoro::VELMVideoLoadPluginFromFolder(installed);
         return VELMKinoro::VideoPluginLookup(installed["p"], "movie", "enu",
                                              Json::Value(Json::objectValue), result, 10,
                                              false) == 0;
       }},
      {"shares.conf", R"({"shares": [{"name": "media", "path": "/tmp"}]})",
       [&](const std::string& text) {
         VELMShareSetConfigPath(File("shares.conf", text));
         PVELMSHARE share = nullptr;
         if (VELMShareGet("media", &share) != 0) return false;
         VELMShareFree(share);
         return true;
       }},
  };
  for (const Site& site : sites) {
    SCOPED_TRACE(site.name);
    EXPECT_FALSE(site.accepts(kTooDeep));
    EXPECT_TRUE(site.accepts(site.normal));
  }
}

}  // namespace
