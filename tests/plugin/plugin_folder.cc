#include "tests/plugin/plugin_folder.h"

#include <unistd.h>

#include <sstream>

#include "platform/plugin/plugin_config.h"
#include "velm/plugin.h"

namespace plugin_test {

PluginFolder::PluginFolder() {
  kinoro_testing::MakeDirs(dir_.File("plugins"));
  velm_plugin::SetPluginFolder(dir_.File("plugins"));
  velm_plugin::SetPluginConfPath(dir_.File("plugins.conf"));
}

PluginFolder::~PluginFolder() {
  velm_plugin::SetPluginFolder("");
  velm_plugin::SetPluginConfPath("");
}

bool PluginFolder::Install(const std::string& id, const std::string& program) {
  const std::string folder = dir_.File("plugins/" + id);
  const std::string info =
      kinoro_testing::ReadFile(std::string(PLUGINS_SOURCE_DIR) + "/" + id + "/INFO");
  const Json::Value parsed = ParseJson(info);
  return !info.empty() && kinoro_testing::MakeDirs(folder) &&
         kinoro_testing::WriteFile(folder + "/INFO", info) &&
         symlink(program.c_str(), (folder + "/" + parsed["exec"].asString()).c_str()) == 0;
}

bool PluginFolder::WriteConf(const Json::Value& conf) {
  return kinoro_testing::WriteFile(dir_.File("plugins.conf"), conf.toStyledString());
}

int PluginFolder::Lookup(const std::string& id, const Json::Value& request, unsigned long limit,
                         Json::Value* result) {
  Json::Value plugins;
  VELMKinoro::VELMVideoLoadPluginFromFolder(plugins);
  if (!plugins.isMember(id)) return -100;
  return VELMKinoro::VideoPluginLookup(plugins[id], "movie", "enu", request, *result, limit, true);
}

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr);
  return value;
}

std::vector<long long> TmdbIds(const Json::Value& answer) {
  std::vector<long long> ids;
  for (const Json::Value& title : answer) {
    const Json::Value& id = title["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"];
    ids.push_back(id.isIntegral() ? id.asInt64() : -1);
  }
  return ids;
}

}  // namespace plugin_test
