// Test and tool hook of the user service: which user database it reads.
#ifndef KINORO_PLATFORM_SERVICES_USER_CONFIG_H_
#define KINORO_PLATFORM_SERVICES_USER_CONFIG_H_

#include <string>

// Points every libkr::VelmUser made afterwards in this process at `path`
// instead of the root's "/etc/velm/users.db". An empty path restores the
// default.
void VelmUserSetDatabasePath(const std::string& path);

#endif  // KINORO_PLATFORM_SERVICES_USER_CONFIG_H_
