// velmvideometadatad: the package's video metadata daemon. It takes the
// backup tasks that the web API queues and writes each video's metadata and
// backdrops beside its files, so that a person's edits survive a lost
// database and travel with the files.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "kinoro/root.h"
#include "libkinoro/api.h"
#include "metadatad/daemon.h"

namespace {

const char kUsage[] =
    "usage: velmvideometadatad [--foreground] [--once] [--interval SECONDS]\n"
    "                          [--queue FILE] [--pid-file FILE] [--db FILE]\n"
    "\n"
    "Takes the metadata queue at start, on SIGUSR1 and every interval (60 s),\n"
    "and writes <video file>.krmeta and <video file>.backdrop-N.jpg beside the\n"
    "files of each video it names. --once takes the queue once and exits.\n"
    "SIGTERM finishes the video in hand and exits 0.\n";

int Usage(const char* error) {
  if (error != nullptr) fprintf(stderr, "velmvideometadatad: %s\n", error);
  fputs(kUsage, error != nullptr ? stderr : stdout);
  return error != nullptr ? 2 : 0;
}

// Detaches from the terminal; the parent exits once the child holds the
// pid file (0) or failed to (1), so that a start script knows which.
bool Detach(int* ready_fd) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child > 0) {
    close(pipe_fds[1]);
    char ready = 0;
    const bool ok = read(pipe_fds[0], &ready, 1) == 1 && ready == '1';
    _exit(ok ? 0 : 1);
  }
  close(pipe_fds[0]);
  setsid();
  if (chdir("/") != 0) return false;
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return false;
  for (int fd : {0, 1, 2}) dup2(null, fd);
  close(null);
  *ready_fd = pipe_fds[1];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kinoro::metadatad::Options options;
  options.queue = KINORO_PATH("/var/spool/velm_video_metadata.queue");
  options.pid_file = KINORO_PATH("/var/run/velmvideometadatad.pid");
  bool foreground = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--foreground") {
      foreground = true;
    } else if (arg == "--once") {
      options.once = true;
    } else if (arg == "--interval" && has_value) {
      options.interval_s = atoi(argv[++i]);
      if (options.interval_s <= 0) return Usage("--interval takes a positive number of seconds");
    } else if (arg == "--queue" && has_value) {
      options.queue = argv[++i];
    } else if (arg == "--pid-file" && has_value) {
      options.pid_file = argv[++i];
    } else if (arg == "--db" && has_value) {
      LibKinoro::db::SetDatabasePath(argv[++i]);
    } else if (arg == "--help" || arg == "-h") {
      return Usage(nullptr);
    } else {
      return Usage(("unknown or incomplete option " + arg).c_str());
    }
  }
  openlog("velmvideometadatad", LOG_PID | (foreground || options.once ? LOG_PERROR : 0),
          LOG_DAEMON);
  umask(022);
  if (!foreground && !options.once && !Detach(&options.ready_fd)) {
    fprintf(stderr, "velmvideometadatad: cannot detach: %s\n", strerror(errno));
    return 1;
  }
  return kinoro::metadatad::Run(options);
}
