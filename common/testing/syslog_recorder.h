// Records the process's syslog lines for tests. Linking syslog_recorder.cc
// into a test binary replaces the C library's syslog for the whole binary
// (the module's objects and any shared library it loads), so nothing reaches
// the system log.
#ifndef KINORO_COMMON_TESTING_SYSLOG_RECORDER_H_
#define KINORO_COMMON_TESTING_SYSLOG_RECORDER_H_

#include <ostream>
#include <string>
#include <vector>

namespace kinoro_testing {

struct SyslogLine {
  int priority;      // facility | level, as passed to syslog
  std::string text;  // the formatted message

  bool operator==(const SyslogLine& other) const {
    return priority == other.priority && text == other.text;
  }
};

// Lines recorded since the start or the last ClearSyslog, oldest first.
std::vector<SyslogLine> SyslogLines();
void ClearSyslog();

// For readable gtest failures.
void PrintTo(const SyslogLine& line, std::ostream* os);

}  // namespace kinoro_testing

#endif  // KINORO_COMMON_TESTING_SYSLOG_RECORDER_H_
