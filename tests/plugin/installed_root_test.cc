// The plug-ins as a build lays them out in its root, found by the engine at
// its default paths with no further step.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kinoro/root.h"
#include "velm/plugin.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class InstalledRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KINORO_ROOT).empty()) GTEST_SKIP() << "an appliance build has no root";
  }
};

TEST_F(InstalledRootTest, PluginsAndConfigurationAreInPlace) {
  Json::Value plugins;
  ASSERT_EQ(VELMKinoro::VELMVideoLoadPluginFromFolder(plugins), 0);
  for (const char* id : {"tmdb", "local_similar"}) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(plugins.isMember(id));
    const std::string program =
        plugins[id]["path"].asString() + "/" + plugins[id]["exec"].asString();
    EXPECT_EQ(access(program.c_str(), X_OK), 0) << program;
  }

  // Whatever the user changed in it, the configuration ranks only
  // installed plug-ins for similar movies.
  Json::Value conf;
  ASSERT_EQ(VELMKinoro::VELMVideoLoadPluginFromConf(conf), 0);
  std::vector<std::string> ids;
  ASSERT_EQ(VELMKinoro::VELMVideoGetPluginPriority(conf, "movie", "", "similar", ids), 0);
  EXPECT_FALSE(ids.empty());
  for (const std::string& id : ids) EXPECT_TRUE(plugins.isMember(id)) << id;
}

TEST_F(InstalledRootTest, InstalledProgramsRun) {
  Json::Value plugins;
  ASSERT_EQ(VELMKinoro::VELMVideoLoadPluginFromFolder(plugins), 0);
  Json::Value request;
  request["tmdb_id"] = -1;  // nothing to look up: no database, no network
  Json::Value answer;
  EXPECT_EQ(VELMKinoro::VideoPluginLookup(plugins["local_similar"], "movie", "enu", request, answer,
                                          5, false),
            0);
  EXPECT_EQ(answer, Json::Value(Json::arrayValue));
  // Without its settings tmdb has no key: it runs, says so and fails.
  request["tmdb_id"] = 550;
  EXPECT_EQ(
      VELMKinoro::VideoPluginLookup(plugins["tmdb"], "movie", "enu", request, answer, 5, false),
      -1);
}

}  // namespace
