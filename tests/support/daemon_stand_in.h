// A child process that holds a pid file as the package's daemons do and
// counts the SIGUSR1 signals it gets, for tests of whoever wakes a daemon.
#ifndef KINORO_TESTS_SUPPORT_DAEMON_STAND_IN_H_
#define KINORO_TESTS_SUPPORT_DAEMON_STAND_IN_H_

#include <sys/types.h>

#include <string>

namespace kinoro_testing {

class DaemonStandIn {
 public:
  explicit DaemonStandIn(const std::string& pid_file);  // returns once the file is held
  ~DaemonStandIn();
  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The signals counted so far, waiting up to a second for `at_least`.
  int Wakeups(int at_least = 0);
  void Kill();  // SIGKILL, as a crash: the pid file stays, naming a dead process

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;  // one byte per signal
  int count_ = 0;
};

}  // namespace kinoro_testing

#endif  // KINORO_TESTS_SUPPORT_DAEMON_STAND_IN_H_
