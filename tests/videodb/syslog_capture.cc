#include "tests/videodb/syslog_capture.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include <mutex>

namespace videodb_test {
namespace {

std::mutex& Mutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::vector<std::string>& Lines() {
  static std::vector<std::string>* lines = new std::vector<std::string>();
  return *lines;
}

void Record(const char* format, va_list args) {
  char buf[2048];
  vsnprintf(buf, sizeof(buf), format, args);
  std::lock_guard<std::mutex> lock(Mutex());
  Lines().push_back(buf);
}

}  // namespace

std::vector<std::string> SyslogLines() {
  std::lock_guard<std::mutex> lock(Mutex());
  return Lines();
}

void ClearSyslog() {
  std::lock_guard<std::mutex> lock(Mutex());
  Lines().clear();
}

bool SyslogContains(const std::string& text) {
  for (const std::string& line : SyslogLines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace videodb_test

extern "C" {

void syslog(int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  videodb_test::Record(format, args);
  va_end(args);
}

// The fortified spelling that _FORTIFY_SOURCE builds call instead.
void __syslog_chk(int, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  videodb_test::Record(format, args);
  va_end(args);
}

}  // extern "C"
