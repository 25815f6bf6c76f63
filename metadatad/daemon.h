// The metadata daemon's work: take the queue, write each named video's
// sidecars, and wait for the next wake-up.
#ifndef KINORO_METADATAD_DAEMON_H_
#define KINORO_METADATAD_DAEMON_H_

#include <signal.h>

#include <string>

namespace kinoro {
namespace metadatad {

struct Options {
  std::string queue;     // the queue file
  std::string pid_file;  // "" to write none
  int interval_s = 60;   // a pass without a wake-up, in case a signal was lost
  bool once = false;     // one pass (the work left by a crash, then the queue), then exit
  int ready_fd = -1;     // gets "1" once the pid file is held, then is closed
};

struct PassCounts {
  int records = 0;  // videos named
  int videos = 0;   // videos found and handled
  int missing = 0;  // videos the database does not have
  int failed = 0;   // videos whose files could not all be written
  int files = 0;    // sidecar and backdrop files written
};

// The work file beside the queue.
std::string WorkFile(const std::string& queue);

// Processes the work file left by an earlier pass (a crash), then takes the
// queue and processes it; the work file is removed once every record in it
// was handled. Between records, a pending signal in `stop` ends the pass
// early, leaving the rest of the work file for the next start. False when
// the pass stopped early or the queue could not be taken.
bool RunPass(const Options& options, const sigset_t& stop, PassCounts* counts);

// Runs passes until SIGTERM or SIGINT: at start, on SIGUSR1 and every
// interval. The exit status.
int Run(const Options& options);

}  // namespace metadatad
}  // namespace kinoro

#endif  // KINORO_METADATAD_DAEMON_H_
