#include "tests/support/daemon_stand_in.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/services/pid_file.h"

namespace kinoro_testing {

DaemonStandIn::DaemonStandIn(const std::string& pid_file) {
  int fds[2];
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  sigprocmask(SIG_BLOCK, &usr1, &old);  // the child inherits it: no signal is lost
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    if (velm_services::HoldPidFile(pid_file, &error) < 0 || write(fds[1], "r", 1) != 1) _exit(1);
    for (int sig; sigwait(&usr1, &sig) == 0 && write(fds[1], "s", 1) == 1;) {
    }
    _exit(1);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  close(fds[1]);
  char ready = 0;
  pid_ = child;
  pipe_ = fds[0];
  if (child < 0 || read(pipe_, &ready, 1) != 1) Kill();
  fcntl(pipe_, F_SETFL, O_NONBLOCK);
}

DaemonStandIn::~DaemonStandIn() {
  Kill();
  if (pipe_ >= 0) close(pipe_);
}

int DaemonStandIn::Wakeups(int at_least) {
  for (int waited_ms = 0;; waited_ms += 10) {
    char bytes[16];
    for (ssize_t n; (n = read(pipe_, bytes, sizeof bytes)) > 0;) count_ += static_cast<int>(n);
    if (count_ >= at_least || waited_ms >= 1000) return count_;
    usleep(10 * 1000);
  }
}

void DaemonStandIn::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace kinoro_testing
