#include "tests/support/syslog_recorder.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

namespace kinoro_testing {
namespace {

std::mutex g_mutex;
// Never destroyed: a static destructor could run before a late syslog call.
std::vector<SyslogLine>& Lines() {
  static auto* lines = new std::vector<SyslogLine>();
  return *lines;
}

void Record(int priority, const char* format, va_list args) {
  char* text = nullptr;
  if (vasprintf(&text, format, args) < 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  Lines().push_back({priority, text});
  free(text);
}

}  // namespace

std::vector<SyslogLine> SyslogLines() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Lines();
}

void ClearSyslog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Lines().clear();
}

void PrintTo(const SyslogLine& line, std::ostream* os) {
  *os << "{" << line.priority << ", \"" << line.text << "\"}";
}

}  // namespace kinoro_testing

extern "C" {

void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  kinoro_testing::Record(priority, format, args);
  va_end(args);
}

// The fortified form that _FORTIFY_SOURCE builds call instead of syslog.
void __syslog_chk(int priority, int /*flag*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  kinoro_testing::Record(priority, format, args);
  va_end(args);
}

}  // extern "C"
