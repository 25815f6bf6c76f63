#include "platform/videodb/db_util.h"

#include <openssl/evp.h>
#include <time.h>

#include <cstdio>

namespace LibKinoro {
namespace db {
namespace internal {

std::string FormatTime(long long seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm_utc;
  if (gmtime_r(&t, &tm_utc) == nullptr) return std::string();
  char buf[32];
  strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
  return buf;
}

bool ParseTime(const std::string& text, long long* seconds) {
  static const char* const kFormats[] = {"%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S",
                                         "%Y-%m-%d %H:%M:%S", "%Y-%m-%d"};
  for (const char* format : kFormats) {
    struct tm tm_utc = {};
    const char* end = strptime(text.c_str(), format, &tm_utc);
    if (end != nullptr && *end == '\0') {
      *seconds = static_cast<long long>(timegm(&tm_utc));
      return true;
    }
  }
  return false;
}

long long NowSeconds() { return static_cast<long long>(time(nullptr)); }

std::string Md5(const void* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr) != 1) return std::string();
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Md5(const std::string& data) { return Md5(data.data(), data.size()); }

std::string HexString(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

template <typename T>
static std::string JsonIdListImpl(const std::vector<T>& ids) {
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) out += ',';
    out += std::to_string(ids[i]);
  }
  out += ']';
  return out;
}

std::string JsonIdList(const std::vector<int>& ids) { return JsonIdListImpl(ids); }
std::string JsonIdList(const std::vector<long long>& ids) { return JsonIdListImpl(ids); }

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
