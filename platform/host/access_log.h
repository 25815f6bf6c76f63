// One line per request: time, worker, api, method, HTTP status, error code,
// milliseconds. The front writes it from several threads; each line goes
// out in one write() on an O_APPEND descriptor, so lines never interleave.
#ifndef KINORO_PLATFORM_HOST_ACCESS_LOG_H_
#define KINORO_PLATFORM_HOST_ACCESS_LOG_H_

#include <cstddef>
#include <string>

namespace kinoro {
namespace host {

struct AccessRecord {
  int worker = 0;  // 0: answered by the front itself
  std::string api;
  std::string method;
  int status = 0;
  int error_code = 0;
  double milliseconds = 0;
};

// A value from a client made safe for a log line: control characters,
// spaces, backslashes and bytes beyond ASCII become "\xNN", and the result
// is cut to at most kMaxLogValue bytes (ending in "..." when cut, never
// inside an escape). Empty is "-".
inline constexpr size_t kMaxLogValue = 256;
std::string EscapeLogValue(const std::string& value);

// "2026-12-05T17:10:00.123Z worker=1 api=A method=m status=200 error=0 ms=0.42"
// The api and method come from the client and go through EscapeLogValue, so
// one request is one parseable line.
std::string FormatAccessLine(const AccessRecord& record, double unix_seconds);

class AccessLog {
 public:
  AccessLog();
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // An empty path means standard error.
  bool Open(const std::string& path, std::string* error);
  // Opens the path again (after rotation). On failure the old file stays.
  bool Reopen(std::string* error);
  void Write(const AccessRecord& record);

 private:
  std::string path_;
  int fd_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_ACCESS_LOG_H_
