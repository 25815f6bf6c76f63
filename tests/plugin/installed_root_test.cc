// The plug-ins as a build lays them out in its root, found and run by the
// engine at its default paths with no further step.
#include <gtest/gtest.h>
#include <unistd.h>

#include "kinoro/root.h"
#include "velm/plugin.h"

namespace {

TEST(InstalledRootTest, PluginsAndConfigurationAreInPlaceAndRun) {
  if (std::string(KINORO_ROOT).empty()) GTEST_SKIP() << "an appliance build has no root";
  Json::Value plugins;
  ASSERT_EQ(VELMKinoro::VELMVideoLoadPluginFromFolder(plugins), 0);
  // Whatever the user changed in it, the configuration ranks only
  // installed plug-ins for similar movies.
  Json::Value conf;
  ASSERT_EQ(VELMKinoro::VELMVideoLoadPluginFromConf(conf), 0);
  std::vector<std::string> ids;
  ASSERT_EQ(VELMKinoro::VELMVideoGetPluginPriority(conf, "movie", "", "similar", ids), 0);
  EXPECT_FALSE(ids.empty());
  for (const std::string& id : ids) EXPECT_TRUE(plugins.isMember(id)) << id;

  // Nothing to look up for local_similar: no database needed. Without its
  // settings tmdb has no key: it runs, says so and fails.
  Json::Value request;
  request["tmdb_id"] = -1;
  Json::Value answer;
  EXPECT_EQ(VELMKinoro::VideoPluginLookup(plugins["local_similar"], "movie", "enu", request, answer,
                                          5, false),
            0);
  EXPECT_EQ(answer, Json::Value(Json::arrayValue));
  request["tmdb_id"] = 550;
  EXPECT_EQ(
      VELMKinoro::VideoPluginLookup(plugins["tmdb"], "movie", "enu", request, answer, 5, false),
      -1);
}

}  // namespace
