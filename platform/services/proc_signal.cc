// Signalling a daemon through its pid file.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/services/scoped_fd.h"
#include "velm/services.h"

namespace {

// The first number of the file; a pid file is a few bytes, so one bounded
// read suffices. -1 when there is none.
long ReadFirstNumber(const char* path) {
  velm_services::ScopedFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  char buf[64];
  ssize_t n;
  do {
    n = read(fd.get(), buf, sizeof(buf) - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  buf[n] = '\0';
  char* end = nullptr;
  errno = 0;
  long value = strtol(buf, &end, 10);
  if (end == buf || errno == ERANGE) return -1;
  return value;
}

}  // namespace

extern "C" int VLIBCProcSignalByPidFile(const char* szPidFile, int sig) {
  if (szPidFile == nullptr || szPidFile[0] == '\0') return -1;
  long pid = ReadFirstNumber(szPidFile);
  // 0 and negative pids would signal whole process groups.
  if (pid <= 0 || pid > INT_MAX) return -1;
  return kill(static_cast<pid_t>(pid), sig) == 0 ? 0 : -1;
}
