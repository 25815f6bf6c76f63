#include "common/cover_rule.h"

#include <json/json.h>

#include "common/json_utils.h"
#include "kinoro/root.h"

namespace {

constexpr char kAdvancedSettingsPath[] = KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf");

// Reads the settings file; every failure, whatever its kind, means no rule.
std::string LoadUserPreparedCoverRule() {
  Json::Value settings(Json::objectValue);
  if (!LibKinoro::ReadJsonFromFile(kAdvancedSettingsPath, settings)) return std::string();
  if (!settings.isObject()) return std::string();
  const Json::Value& object = settings;  // const access adds no members
  const Json::Value& enabled = object["cmzvideo_cover"];
  if (!enabled.isBool() || !enabled.asBool()) return std::string();
  const Json::Value& rule = object["cmzvideo_cover_rule"];
  if (!rule.isString()) return std::string();
  return rule.asString();
}

}  // namespace

// Each cache is a function-local static: the runtime's one-time
// initialisation makes concurrent first calls wait for a single load, and
// whatever that load found (an empty answer included) stays for the process.

namespace velmkr {
namespace webapi {

std::string GetUserPreparedCoverRule() {
  static const std::string rule = LoadUserPreparedCoverRule();
  return rule;
}

}  // namespace webapi
}  // namespace velmkr

namespace Kinoro {
namespace webapi {

std::string GetUserPreparedCoverRule() {
  static const std::string rule = LoadUserPreparedCoverRule();
  return rule;
}

}  // namespace webapi
}  // namespace Kinoro
