// A worker process of kinoro-host: runs module calls one at a time, as the
// modules require (their caches take no locks, and a run-as-root window
// changes the ids of the whole process). It takes a request from its channel
// only when it is free, so the front can always give the next request to an
// idle worker.
#ifndef KINORO_PLATFORM_HOST_WORKER_PROCESS_H_
#define KINORO_PLATFORM_HOST_WORKER_PROCESS_H_

#include <sys/types.h>

#include "platform/host/dispatcher.h"
#include "platform/host/host_options.h"
#include "platform/host/privileges.h"

namespace kinoro {
namespace host {

// The exit status of a process that could not get ready.
inline constexpr int kProcessStartFailed = 3;

struct WorkerSetup {
  const ServerOptions* options = nullptr;
  Dispatcher* dispatcher = nullptr;  // modules loaded before the fork
  const RunUser* user = nullptr;
  int channel_fd = -1;  // the worker's end of its channel
  int index = 0;
  pid_t supervisor = 0;
  int syslog_options = 0;
};

// Runs in the forked child until the front closes the channel (0), SIGTERM
// arrives between calls (0) or the channel breaks (1). Returns the exit status.
int RunWorker(const WorkerSetup& setup);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_WORKER_PROCESS_H_
