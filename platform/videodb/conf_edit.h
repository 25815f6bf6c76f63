// kinoro-db's edits of the platform's JSON files: the shares file and the
// plug-in configuration. Scripts (the demo) use them in place of a JSON tool
// of their own. Each edit keeps every other member as it was and replaces
// the file in one rename, so that a reader never sees half a file.
#ifndef KINORO_PLATFORM_VIDEODB_CONF_EDIT_H_
#define KINORO_PLATFORM_VIDEODB_CONF_EDIT_H_

#include <string>
#include <vector>

namespace kinoro_db {

// Adds the share `name` at `path` to the shares file `conf`, or points an
// existing share of that name there. A missing file is created with this
// one share; a file that is not a shares object is left alone (false).
bool AddShare(const std::string& conf, const std::string& name, const std::string& path,
              std::string* error);

// Removes every share named `name`. Not an error when there is none.
bool RemoveShare(const std::string& conf, const std::string& name, std::string* error);

// Writes `to` as a copy of the plug-in configuration `from` with
// settings[plugin][key] set to the string `value`.
bool WritePluginSetting(const std::string& from, const std::string& to, const std::string& plugin,
                        const std::string& key, const std::string& value, std::string* error);

// "share add NAME PATH [--conf FILE]", "share del NAME [--conf FILE]" and
// "plugin-setting FROM TO PLUGIN KEY VALUE". -1 when `command` is none of
// these; otherwise 0, 1 on failure (reason on standard error), 2 on a usage
// error.
int RunConfCommand(const std::string& command, const std::vector<std::string>& args);

}  // namespace kinoro_db

#endif  // KINORO_PLATFORM_VIDEODB_CONF_EDIT_H_
