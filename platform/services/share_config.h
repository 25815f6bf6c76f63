// Test and tool hook of the share service: which configuration file it reads.
#ifndef KINORO_PLATFORM_SERVICES_SHARE_CONFIG_H_
#define KINORO_PLATFORM_SERVICES_SHARE_CONFIG_H_

#include <string>

// Points every later share lookup of the process at `path` instead of the
// root's "/etc/velm/shares.conf". An empty path restores the default.
void VELMShareSetConfigPath(const std::string& path);

#endif  // KINORO_PLATFORM_SERVICES_SHARE_CONFIG_H_
