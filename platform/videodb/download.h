// Image downloads with libcurl, hardened for addresses that users type in:
// http and https only (redirects too), at most 5 redirects, a size cap, a
// total and a low-speed time limit, and a check of every address actually
// connected to.
#ifndef KINORO_PLATFORM_VIDEODB_DOWNLOAD_H_
#define KINORO_PLATFORM_VIDEODB_DOWNLOAD_H_

#include <sys/socket.h>

#include <string>

#include "platform/videodb/config.h"

namespace LibKinoro {
namespace db {
namespace internal {

// True for every address that is not globally reachable (loopback, private,
// shared, link-local, documentation, benchmarking, reserved, IETF protocol
// assignments, multicast, broadcast, unspecified; IPv6 outside 2000::/3),
// IPv4 or IPv6, judging IPv4 addresses carried inside IPv6 ones (mapped,
// compatible, NAT64, 6to4) by the IPv4 address.
bool IsNonPublicAddress(const struct sockaddr* address);

// Downloads `url` into a new file in `folder` (created if needed). The
// file's path, or "" on failure, when no file is left behind; the reason is
// logged.
std::string DownloadToFolder(const std::string& url, const std::string& folder,
                             const DownloadSettings& settings);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_DOWNLOAD_H_
