// kinoro-host's process model: a supervisor binds the socket, loads the
// modules and forks one front (the only process that speaks HTTP, see
// front.h) and the worker processes (worker_process.h), whose channels it
// hands to the front. It restarts what dies (a new front comes with new
// workers), starts spare workers when the front asks, forwards SIGHUP
// (reopen logs) and, on SIGTERM or SIGINT, lets the front finish what it
// holds and exits 0.
#ifndef KINORO_PLATFORM_HOST_SERVER_H_
#define KINORO_PLATFORM_HOST_SERVER_H_

#include <string>

#include "platform/host/host_options.h"

namespace kinoro {
namespace host {

// A bound, listening, non-blocking, close-on-exec TCP socket; -1 with
// `error` set on failure. `bound_port` receives the port actually bound.
int CreateListenSocket(const std::string& host, int port, int* bound_port, std::string* error);

// Runs the server until it is told to stop. The exit status for main().
int RunServer(const ServerOptions& options);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_SERVER_H_
