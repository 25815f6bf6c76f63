// A plug-in folder and configuration file in a temporary directory, with the
// engine pointed at them for the object's lifetime; plug-ins are the built
// programs, linked in beside a copy of their INFO.
#ifndef KINORO_TESTS_PLUGIN_PLUGIN_FOLDER_H_
#define KINORO_TESTS_PLUGIN_PLUGIN_FOLDER_H_

#include <string>
#include <vector>

#include <json/json.h>

#include "common/testing/temp_dir.h"

namespace plugin_test {

class PluginFolder {
 public:
  PluginFolder();
  ~PluginFolder();
  PluginFolder(const PluginFolder&) = delete;
  PluginFolder& operator=(const PluginFolder&) = delete;

  // Installs plug-in `id` from the source tree's INFO and the built program.
  bool Install(const std::string& id, const std::string& program);
  // Replaces the configuration file.
  bool WriteConf(const Json::Value& conf);
  // Runs plug-in `id` as the module does (type "movie", language "enu",
  // with settings); the lookup's return value.
  int Lookup(const std::string& id, const Json::Value& request, unsigned long limit,
             Json::Value* result);

  const kinoro_testing::TempDir& dir() const { return dir_; }

 private:
  kinoro_testing::TempDir dir_;
};

Json::Value ParseJson(const std::string& text);
// The TMDb id of each title of an answer, in order (-1 where there is none).
std::vector<long long> TmdbIds(const Json::Value& answer);

}  // namespace plugin_test

#endif  // KINORO_TESTS_PLUGIN_PLUGIN_FOLDER_H_
