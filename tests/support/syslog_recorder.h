// Records the process's syslog lines for tests. Linking syslog_recorder.cc
// (the kinoro_syslog_recorder object library) into a test executable
// replaces the C library's syslog for the objects linked into it and the
// shared libraries on its link line, so nothing reaches the system log. A
// library loaded with dlopen sees it only when the executable exports it.
#ifndef KINORO_TESTS_SUPPORT_SYSLOG_RECORDER_H_
#define KINORO_TESTS_SUPPORT_SYSLOG_RECORDER_H_

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
void PrintTo(const SyslogLine& line, std::ostream* os);  // readable gtest failures

}  // namespace kinoro_testing

#endif  // KINORO_TESTS_SUPPORT_SYSLOG_RECORDER_H_
