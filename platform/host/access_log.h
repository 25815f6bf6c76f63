// One line per request: time, worker, api, method, HTTP status, error code,
// milliseconds. Several workers append to the same file; each line goes out
// in one write() on an O_APPEND descriptor, so lines never interleave.
#ifndef KINORO_PLATFORM_HOST_ACCESS_LOG_H_
#define KINORO_PLATFORM_HOST_ACCESS_LOG_H_

#include <string>

namespace kinoro {
namespace host {

struct AccessRecord {
  int worker = 0;
  std::string api;
  std::string method;
  int status = 0;
  int error_code = 0;
  double milliseconds = 0;
};

// "2026-12-05T17:10:00.123Z worker=1 api=A method=m status=200 error=0 ms=0.42"
// The api and method come from the client: anything but printable ASCII
// without spaces becomes "?", and long names are cut, so one request is one
// parseable line. Empty names are "-".
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
