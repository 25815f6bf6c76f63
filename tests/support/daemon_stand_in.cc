#include "tests/support/daemon_stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/services/pid_file.h"

namespace kinoro_testing {

DaemonStandIn::DaemonStandIn(const std::string& pid_file) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &old);  // no signal is lost before the child waits
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    char ready = velm_services::HoldPidFile(pid_file, &error) >= 0 ? 'r' : 'f';
    if (write(fds[1], &ready, 1) != 1 || ready != 'r') _exit(1);
    for (int sig = 0;;) {
      if (sigwait(&usr1, &sig) == 0 && write(fds[1], "s", 1) != 1) _exit(1);
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  close(fds[1]);
  char ready = 0;
  if (child < 0 || read(fds[0], &ready, 1) != 1 || ready != 'r') {
    if (child > 0) waitpid(child, nullptr, 0);
    close(fds[0]);
    return;
  }
  pid_ = child;
  pipe_ = fds[0];
}

DaemonStandIn::~DaemonStandIn() {
  Kill();
  if (pipe_ >= 0) close(pipe_);
}

int DaemonStandIn::Wakeups(int at_least) {
  // Takes what has arrived; waits, up to a second, only while short.
  for (int waited_ms = 0; pipe_ >= 0;) {
    struct pollfd in = {pipe_, POLLIN, 0};
    const bool short_of = count_ < at_least;
    if (poll(&in, 1, short_of ? 50 : 0) == 1) {
      char byte;
      if (read(pipe_, &byte, 1) != 1) break;
      ++count_;
    } else if (!short_of || (waited_ms += 50) >= 1000) {
      break;
    }
  }
  return count_;
}

void DaemonStandIn::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace kinoro_testing
