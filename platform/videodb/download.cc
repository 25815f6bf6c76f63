#include "platform/videodb/download.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/services/log_value.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// Address blocks a download must not reach: everything the IANA IPv4 and IPv6
// special-purpose registries mark as not globally reachable, and multicast.
struct V4Net {
  uint32_t base;  // host byte order
  int bits;
};

bool InV4Net(uint32_t a, const V4Net& net) {
  uint32_t mask = net.bits == 0 ? 0 : ~uint32_t{0} << (32 - net.bits);
  return (a & mask) == net.base;
}

bool IsNonPublicV4(uint32_t a) {  // host byte order
  // Inside 192.0.0.0/24, only these anycast addresses are globally reachable.
  static const V4Net kGlobalExceptions[] = {
      {0xC0000009, 32},  // 192.0.0.9 port control anycast
      {0xC000000A, 32},  // 192.0.0.10 traversal using relays anycast
  };
  static const V4Net kNets[] = {
      {0x00000000, 8},   // "this network", unspecified
      {0x0A000000, 8},   // private
      {0x64400000, 10},  // shared address space
      {0x7F000000, 8},   // loopback
      {0xA9FE0000, 16},  // link-local
      {0xAC100000, 12},  // private
      {0xC0000000, 24},  // IETF protocol assignments
      {0xC0000200, 24},  // documentation (TEST-NET-1)
      {0xC0586300, 24},  // deprecated 6to4 relay anycast
      {0xC0A80000, 16},  // private
      {0xC6120000, 15},  // benchmarking
      {0xC6336400, 24},  // documentation (TEST-NET-2)
      {0xCB007100, 24},  // documentation (TEST-NET-3)
      {0xE0000000, 4},   // multicast
      {0xF0000000, 4},   // reserved and limited broadcast
  };
  for (const V4Net& net : kGlobalExceptions) {
    if (InV4Net(a, net)) return false;
  }
  for (const V4Net& net : kNets) {
    if (InV4Net(a, net)) return true;
  }
  return false;
}

uint32_t V4At(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

struct V6Net {
  uint8_t prefix[16];
  int bits;
};

bool InV6Net(const uint8_t* b, const V6Net& net) {
  int whole = net.bits / 8;
  if (memcmp(b, net.prefix, whole) != 0) return false;
  int rest = net.bits % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (b[whole] & mask) == (net.prefix[whole] & mask);
}

bool IsNonPublicV6(const uint8_t* b) {
  static const uint8_t kZero[12] = {};
  // IPv4 inside IPv6 is judged by the IPv4 address: mapped ::ffff:a.b.c.d,
  // compatible ::a.b.c.d (:: and ::1 fall in 0.0.0.0/8), NAT64
  // 64:ff9b::a.b.c.d and 6to4 2002:aabb:ccdd::.
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static const uint8_t kNat64[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
  if (memcmp(b, kZero, 12) == 0 || memcmp(b, kMapped, 12) == 0 || memcmp(b, kNat64, 12) == 0) {
    return IsNonPublicV4(V4At(b + 12));
  }
  if (b[0] == 0x20 && b[1] == 0x02) return IsNonPublicV4(V4At(b + 2));
  // Only 2000::/3 is global unicast; everything else (multicast, link-local,
  // unique local, discard-only, local-use NAT64, segment routing ids, ...) is
  // not reachable from here.
  if ((b[0] & 0xe0) != 0x20) return true;
  static const V6Net kGlobalExceptions[] = {
      {{0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}, 128},  // 2001:1::1 anycast
      {{0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}, 128},  // 2001:1::2 anycast
      {{0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}, 128},  // 2001:1::3 anycast
      {{0x20, 0x01, 0x00, 0x03}, 32},                                          // 2001:3::/32 AMT
      {{0x20, 0x01, 0x00, 0x04, 0x01, 0x12}, 48},                              // 2001:4:112::/48
      {{0x20, 0x01, 0x00, 0x20}, 28},                                          // 2001:20::/28
      {{0x20, 0x01, 0x00, 0x30}, 28},                                          // 2001:30::/28
  };
  static const V6Net kNets[] = {
      {{0x20, 0x01, 0x00, 0x00}, 23},  // IETF protocol assignments (Teredo, benchmarking, ...)
      {{0x20, 0x01, 0x0d, 0xb8}, 32},  // documentation
      {{0x3f, 0xff}, 20},              // documentation
  };
  for (const V6Net& net : kGlobalExceptions) {
    if (InV6Net(b, net)) return false;
  }
  for (const V6Net& net : kNets) {
    if (InV6Net(b, net)) return true;
  }
  return false;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct Transfer {
  int fd = -1;
  long long written = 0;
  long long max_bytes = 0;
  bool too_large = false;
  bool write_failed = false;
  bool allow_private = false;
  bool refused_address = false;
  char refused_text[INET6_ADDRSTRLEN] = "";
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  // Counted here, not from Content-Length: a server may lie or send none.
  if (t->written + static_cast<long long>(n) > t->max_bytes) {
    t->too_large = true;
    return 0;
  }
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(t->fd, data + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      t->write_failed = true;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  t->written += static_cast<long long>(n);
  return n;
}

// Runs for every connection, redirects included, with the address curl is
// about to connect to: the only place where every spelling of a host (names,
// decimal or hex IPv4, bracketed IPv6) has become one concrete address.
curl_socket_t OpenSocket(void* user, curlsocktype purpose, struct curl_sockaddr* address) {
  Transfer* t = static_cast<Transfer*>(user);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  if (!t->allow_private && IsNonPublicAddress(&address->addr)) {
    t->refused_address = true;
    const void* raw = address->family == AF_INET6
                          ? static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_addr)
                          : static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_addr);
    inet_ntop(address->family, raw, t->refused_text, sizeof(t->refused_text));
    return CURL_SOCKET_BAD;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void EnsureCurlInit() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)ready;
}

}  // namespace

bool IsNonPublicAddress(const struct sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return IsNonPublicV4(ntohl(in->sin_addr.s_addr));
  }
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IsNonPublicV6(in6->sin6_addr.s6_addr);
  }
  return true;  // anything else is not an internet address
}

std::string DownloadToFolder(const std::string& url, const std::string& folder,
                             const DownloadSettings& settings) {
  EnsureCurlInit();
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    syslog(LOG_ERR, "%s:%d cannot create download folder %s: %s", "download", __LINE__,
           folder.c_str(), strerror(errno));
    return "";
  }
  std::string path = folder + "/image-XXXXXX";
  Transfer t;
  t.fd = mkostemp(&path[0], O_CLOEXEC);
  if (t.fd < 0) {
    syslog(LOG_ERR, "%s:%d cannot create a file in %s: %s", "download", __LINE__, folder.c_str(),
           strerror(errno));
    return "";
  }
  t.max_bytes = settings.max_bytes;
  t.allow_private = settings.allow_private_addresses;

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  CURLcode rc = CURLE_FAILED_INIT;
  long status = 0;
  if (curl) {
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // A proxy would make the proxy the connected address and defeat the check.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, settings.timeout_s);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, settings.timeout_s < 10 ? settings.timeout_s : 10L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, settings.timeout_s < 10 ? settings.timeout_s : 10L);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(settings.max_bytes));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Kinoro-videodb/1");
    rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  }
  bool closed = close(t.fd) == 0;
  if (rc == CURLE_OK && closed && t.written > 0) return path;

  unlink(path.c_str());
  if (t.refused_address) {
    syslog(LOG_ERR, "%s:%d download refused %s: address %s is not public", "download", __LINE__,
           velm::LogValue(url).c_str(), t.refused_text);
  } else if (t.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
    syslog(LOG_ERR, "%s:%d download refused %s: larger than %lld bytes", "download", __LINE__,
           velm::LogValue(url).c_str(), settings.max_bytes);
  } else if (rc == CURLE_OK) {
    syslog(LOG_ERR, "%s:%d download failed %s: empty body", "download", __LINE__,
           velm::LogValue(url).c_str());
  } else {
    syslog(LOG_ERR, "%s:%d download failed %s: %s (HTTP %ld)", "download", __LINE__,
           velm::LogValue(url).c_str(), curl_easy_strerror(rc), status);
  }
  return "";
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
