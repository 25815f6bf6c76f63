// Small helpers shared by the library's sources: time stamps and digests.
#ifndef KINORO_PLATFORM_VIDEODB_DB_UTIL_H_
#define KINORO_PLATFORM_VIDEODB_DB_UTIL_H_

#include <string>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

// Unix seconds as "YYYY-MM-DDTHH:MM:SSZ" (UTC).
std::string FormatTime(long long seconds);
// Parses "YYYY-MM-DDTHH:MM:SSZ", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD" as UTC.
bool ParseTime(const std::string& text, long long* seconds);
long long NowSeconds();

// The 16-byte MD5 digest of `data`.
std::string Md5(const std::string& data);
std::string Md5(const void* data, size_t size);
std::string HexString(const std::string& bytes);

// A JSON array text of the numbers, for "IN (SELECT value FROM json_each(?))"
// so that a query over a batch of ids is one cached statement.
std::string JsonIdList(const std::vector<int>& ids);
std::string JsonIdList(const std::vector<long long>& ids);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_DB_UTIL_H_
