#include "tests/videodb/syslog_capture.h"

#include "tests/support/syslog_recorder.h"

namespace videodb_test {

std::vector<std::string> SyslogLines() {
  std::vector<std::string> lines;
  for (const kinoro_testing::SyslogLine& line : kinoro_testing::SyslogLines()) {
    lines.push_back(line.text);
  }
  return lines;
}

void ClearSyslog() { kinoro_testing::ClearSyslog(); }

bool SyslogContains(const std::string& text) {
  for (const std::string& line : SyslogLines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace videodb_test
