// Where the plug-in engine finds its files, and its fixed limits. The
// defaults are the root's fixed paths; tests point the engine at a folder
// and a configuration file of their own.
#ifndef KINORO_PLATFORM_PLUGIN_PLUGIN_CONFIG_H_
#define KINORO_PLATFORM_PLUGIN_PLUGIN_CONFIG_H_

#include <cstddef>
#include <string>

namespace velm_plugin {

// A plug-in's INFO may name a shorter or longer limit, up to the maximum.
constexpr double kDefaultTimeoutSeconds = 10;
constexpr double kMaxTimeoutSeconds = 600;
// Standard output beyond this fails the lookup; nothing the module asks
// for comes near it.
constexpr size_t kOutputCap = 4 << 20;
// The whole environment of a plug-in program.
constexpr const char kPluginPath[] = "PATH=/usr/bin:/bin";

// The folder that holds one sub-folder per plug-in.
std::string PluginFolder();
// The configuration file: priority lists and the plug-ins' settings.
std::string PluginConfPath();

// An empty argument restores the default. Not meant to race with lookups.
void SetPluginFolder(const std::string& folder);
void SetPluginConfPath(const std::string& path);

}  // namespace velm_plugin

#endif  // KINORO_PLATFORM_PLUGIN_PLUGIN_CONFIG_H_
