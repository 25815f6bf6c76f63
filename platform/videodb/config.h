// The library's settings file, the root's
// "/var/packages/Kinoro/etc/videodb.conf": JSON, every member optional.
#ifndef KINORO_PLATFORM_VIDEODB_CONFIG_H_
#define KINORO_PLATFORM_VIDEODB_CONFIG_H_

#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

struct DownloadSettings {
  // Loopback, private, link-local and unspecified addresses are refused
  // unless this is true.
  bool allow_private_addresses = false;
  long long max_bytes = 20LL * 1024 * 1024;
  long timeout_s = 30;
};

// Read on every call, so a changed file takes effect without a restart. A
// missing file gives the defaults; a member of the wrong kind is ignored
// (logged).
DownloadSettings ReadDownloadSettings();
DownloadSettings ReadDownloadSettingsFrom(const std::string& path);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_CONFIG_H_
