// Signalling a daemon through its pid file: only a live process that holds
// the file's lock and is the pid the file names is signalled.
#include <signal.h>
#include <sys/types.h>

#include "platform/services/pid_file.h"
#include "velm/services.h"

extern "C" int VLIBCProcSignalByPidFile(const char* szPidFile, int sig) {
  const long pid = velm_services::LivePidFromFile(szPidFile);
  if (pid <= 0) return -1;
  return kill(static_cast<pid_t>(pid), sig) == 0 ? 0 : -1;
}
