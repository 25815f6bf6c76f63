#include "platform/plugin/plugin_config.h"

#include <mutex>

#include "kinoro/root.h"

namespace velm_plugin {
namespace {

struct Paths {
  std::mutex mutex;
  std::string folder;
  std::string conf;
};

// Never destroyed, so a lookup during static destruction still works.
Paths& GetPaths() {
  static Paths* paths = new Paths();
  return *paths;
}

}  // namespace

std::string PluginFolder() {
  Paths& paths = GetPaths();
  std::lock_guard<std::mutex> lock(paths.mutex);
  return paths.folder.empty() ? KINORO_PATH("/var/packages/Kinoro/target/plugins") : paths.folder;
}

std::string PluginConfPath() {
  Paths& paths = GetPaths();
  std::lock_guard<std::mutex> lock(paths.mutex);
  return paths.conf.empty() ? KINORO_PATH("/var/packages/Kinoro/etc/plugins.conf") : paths.conf;
}

void SetPluginFolder(const std::string& folder) {
  Paths& paths = GetPaths();
  std::lock_guard<std::mutex> lock(paths.mutex);
  paths.folder = folder;
}

void SetPluginConfPath(const std::string& path) {
  Paths& paths = GetPaths();
  std::lock_guard<std::mutex> lock(paths.mutex);
  paths.conf = path;
}

}  // namespace velm_plugin
