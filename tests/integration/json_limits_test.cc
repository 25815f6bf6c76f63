// Every place that parses JSON from outside (a request parameter's value has
// its limit in its unit test) fed, through its own entry point, a document
// nested deeper than the reader's stack limit and a normal one: the first
// must be that place's ordinary failure and must not spoil the next parse.
#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <string>

#include "common/additional.h"
#include "common/json_utils.h"
#include "libkinoro/api.h"
#include "platform/videodb/config.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/integration/module_fixture.h"
#include "velm/plugin.h"
#include "velm/services.h"

namespace integration {
namespace {

// The fixture gives the database and the scripted plug-in "a".
TEST_F(ModuleTest, JsonTooDeepIsAnOrdinaryFailureAtEverySite) {
  // One past the reader's limit of 1,000 nested values.
  const std::string kTooDeep = std::string(1001, '[') + std::string(1001, ']');
  const std::string kInfo =
      R"({"id": "a", "types": ["movie"], "actions": ["similar"], "exec": "run"})";
  const std::string kAnswer = R"([{"title": "x"}])";
  // Whether plug-in "a" is installed and answers a lookup.
  auto Lookup = [&](const std::string& info, const std::string& answer) {
    EXPECT_TRUE(kinoro_testing::WriteFile(Plugin("a") + "/INFO", info) &&
                kinoro_testing::WriteFile(Plugin("a") + "/answer", answer));
    Json::Value installed, result;
    VELMKinoro::VELMVideoLoadPluginFromFolder(installed);
    return installed.isMember("a") &&
           VELMKinoro::VideoPluginLookup(installed["a"], "movie", "enu",
                                         Json::Value(Json::objectValue), result, 10, false) == 0;
  };
  const struct {
    const char* name;
    std::string normal;
    // True when the site took the text as the JSON it is.
    std::function<bool(const std::string&)> accepts;
  } sites[] = {
      {"module JSON file", R"({"a": [1]})",
       [&](const std::string& text) {
         Json::Value value;
         return LibKinoro::ReadJsonFromFile(db_.WriteFile("file.json", text), value);
       }},
      {"module additional list", R"(["summary"])",
       [](const std::string& text) {
         LibKinoro::db::api::MovieAPI api;
         return Kinoro::webapi::ProcessAdditional(text, api);
       }},
      {"database settings", R"({"download": {"timeout_s": 7}})",
       [&](const std::string& text) {
         return LibKinoro::db::internal::ReadDownloadSettingsFrom(db_.WriteFile("v.conf", text))
                    .timeout_s == 7;
       }},
      {"import document", R"({"libraries": [{"id": 9, "title": "Films", "type": "movie"}]})",
       [&](const std::string& text) {
         std::string error;
         return LibKinoro::db::internal::ImportFile(LibKinoro::db::internal::Connection::Get(),
                                                    db_.WriteFile("i.json", text), false, nullptr,
                                                    &error);
       }},
      {"plug-in configuration", R"({"priority": {}})",
       [&](const std::string& text) {
         velm_plugin::SetPluginConfPath(db_.WriteFile("plugins.conf", text));
         Json::Value conf;
         return VELMKinoro::VELMVideoLoadPluginFromConf(conf) == 0;
       }},
      // INFO, then the answer, each with the other one normal.
      {"plug-in INFO", kInfo, [&](const std::string& text) { return Lookup(text, kAnswer); }},
      {"plug-in answer", kAnswer, [&](const std::string& text) { return Lookup(kInfo, text); }},
      {"shares.conf", R"({"shares": [{"name": "media", "path": "/tmp"}]})",
       [&](const std::string& text) {
         VELMShareSetConfigPath(db_.WriteFile("shares.conf", text));
         PVELMSHARE share = nullptr;
         if (VELMShareGet("media", &share) != 0) return false;
         VELMShareFree(share);
         return true;
       }},
  };
  for (const auto& site : sites) {
    SCOPED_TRACE(site.name);
    EXPECT_FALSE(site.accepts(kTooDeep));
    EXPECT_TRUE(site.accepts(site.normal));
  }
}

}  // namespace
}  // namespace integration
