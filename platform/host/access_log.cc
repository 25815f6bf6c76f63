#include "platform/host/access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace kinoro {
namespace host {
std::string EscapeLogValue(const std::string& value) {
  if (value.empty()) return "-";
  constexpr char kCut[] = "...";
  constexpr size_t kRoomBeforeCut = kMaxLogValue - (sizeof kCut - 1);
  std::string out;
  size_t fits_before_cut = 0;  // the longest prefix, whole escapes only, that leaves room
  for (unsigned char c : value) {
    if (c <= ' ' || c >= 0x7f || c == '\\') {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
    if (out.size() <= kRoomBeforeCut) fits_before_cut = out.size();
    if (out.size() > kMaxLogValue) {
      out.resize(fits_before_cut);
      return out + kCut;
    }
  }
  return out;
}

std::string FormatAccessLine(const AccessRecord& record, double unix_seconds) {
  time_t whole = static_cast<time_t>(std::floor(unix_seconds));
  int millis = static_cast<int>((unix_seconds - static_cast<double>(whole)) * 1000.0);
  if (millis > 999) millis = 999;
  struct tm tm;
  gmtime_r(&whole, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  char line[3 * kMaxLogValue];
  snprintf(line, sizeof line, "%s.%03dZ worker=%d api=%s method=%s status=%d error=%d ms=%.2f\n",
           stamp, millis, record.worker, EscapeLogValue(record.api).c_str(),
           EscapeLogValue(record.method).c_str(), record.status, record.error_code,
           record.milliseconds);
  return line;
}

AccessLog::AccessLog() : fd_(STDERR_FILENO) {}

AccessLog::~AccessLog() {
  if (fd_ != STDERR_FILENO) close(fd_);
}

bool AccessLog::Open(const std::string& path, std::string* error) {
  path_ = path;
  return Reopen(error);
}

bool AccessLog::Reopen(std::string* error) {
  if (path_.empty()) return true;
  int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    *error = "cannot open access log " + path_ + ": " + strerror(errno);
    return false;
  }
  if (fd_ != STDERR_FILENO) close(fd_);
  fd_ = fd;
  return true;
}

void AccessLog::Write(const AccessRecord& record) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  std::string line = FormatAccessLine(record, static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9);
  // A lost log line is not worth failing a request over.
  ssize_t ignored = write(fd_, line.data(), line.size());
  (void)ignored;
}

}  // namespace host
}  // namespace kinoro
