// The process's syslog lines as text, for the library's tests. The lines are
// recorded by tests/support's recorder, which kinoro_videodb_testutil brings
// into every test binary that uses these functions.
#ifndef KINORO_TESTS_VIDEODB_SYSLOG_CAPTURE_H_
#define KINORO_TESTS_VIDEODB_SYSLOG_CAPTURE_H_

#include <string>
#include <vector>

namespace videodb_test {

// Every line logged since the last ClearSyslog(), formatted.
std::vector<std::string> SyslogLines();
void ClearSyslog();
// True when some line contains `text`.
bool SyslogContains(const std::string& text);

}  // namespace videodb_test

#endif  // KINORO_TESTS_VIDEODB_SYSLOG_CAPTURE_H_
