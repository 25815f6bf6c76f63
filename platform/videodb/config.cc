#include "platform/videodb/config.h"

#include <json/json.h>
#include <syslog.h>

#include <fstream>

#include "kinoro/root.h"
#include "platform/videodb/json_reader.h"

namespace LibKinoro {
namespace db {
namespace internal {

DownloadSettings ReadDownloadSettings() {
  return ReadDownloadSettingsFrom(KINORO_PATH("/var/packages/Kinoro/etc/videodb.conf"));
}

DownloadSettings ReadDownloadSettingsFrom(const std::string& path) {
  DownloadSettings settings;
  std::ifstream in(path);
  if (!in) return settings;
  Json::Value root;
  std::string errors;
  if (!ParseJson(in, &root, &errors) || !root.isObject()) {
    syslog(LOG_ERR, "%s:%d %s is not a JSON object, using defaults", "config", __LINE__,
           path.c_str());
    return settings;
  }
  const Json::Value& download = root["download"];
  if (!download.isObject()) return settings;
  const Json::Value& allow = download["allow_private_addresses"];
  if (allow.isBool()) settings.allow_private_addresses = allow.asBool();
  const Json::Value& max_bytes = download["max_bytes"];
  if (max_bytes.isInt64() && max_bytes.asInt64() > 0) settings.max_bytes = max_bytes.asInt64();
  const Json::Value& timeout = download["timeout_s"];
  if (timeout.isInt() && timeout.asInt() > 0) settings.timeout_s = timeout.asInt();
  if ((!allow.isNull() && !allow.isBool()) || (!max_bytes.isNull() && !max_bytes.isInt64()) ||
      (!timeout.isNull() && !timeout.isInt())) {
    syslog(LOG_ERR, "%s:%d %s: a download setting has the wrong type and is ignored", "config",
           __LINE__, path.c_str());
  }
  return settings;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
