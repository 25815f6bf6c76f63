// The commands of kinoro-db, callable from tests without a process.
#ifndef KINORO_PLATFORM_VIDEODB_TOOL_COMMANDS_H_
#define KINORO_PLATFORM_VIDEODB_TOOL_COMMANDS_H_

#include <string>
#include <vector>

namespace kinoro_db {

// Runs one command on the current database (LibKinoro::db::GetDatabasePath).
// 0 on success, 1 on failure (reason on standard error), 2 on a usage error.
int RunCommand(const std::string& command, const std::vector<std::string>& args);

}  // namespace kinoro_db

#endif  // KINORO_PLATFORM_VIDEODB_TOOL_COMMANDS_H_
