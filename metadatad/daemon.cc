#include "metadatad/daemon.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "metadatad/queue_work.h"
#include "metadatad/sidecar.h"
#include "platform/services/pid_file.h"
#include "platform/videodb/export.h"
#include "platform/videodb/sqlite_db.h"
#include "velm/caller.h"
#include "velm/services.h"

namespace kinoro {
namespace metadatad {
namespace {

constexpr char kSource[] = "metadatad";

bool StopPending(const sigset_t& stop) {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int sig : {SIGTERM, SIGINT}) {
    if (sigismember(&stop, sig) == 1 && sigismember(&pending, sig) == 1) return true;
  }
  return false;
}

void Handle(const Record& record, const std::string& queue, PassCounts* counts) {
  using LibKinoro::db::internal::ExportResult;
  LibKinoro::db::internal::VideoExport video;
  const ExportResult result = LibKinoro::db::internal::ExportVideo(
      LibKinoro::db::internal::Connection::Get(), record.type, record.id, &video);
  if (result == ExportResult::kNoVideo) {
    ++counts->missing;
    syslog(LOG_WARNING, "%s:%d no video %s %lld in the database", kSource, __LINE__,
           record.type.c_str(), record.id);
    return;
  }
  WriteCounts written;
  if (result == ExportResult::kFailed) {
    // The database is unavailable for now: the task goes back to the queue
    // for the next pass rather than being lost.
    ++counts->failed;
    const std::string text = "b:" + record.type + ":" + std::to_string(record.id);
    WriteIndexQueue(text.c_str(), queue.c_str());
    return;
  }
  if (!WriteSidecars(video, &written)) {
    ++counts->failed;
    return;
  }
  ++counts->videos;
  counts->files += written.written;
}

// Handles every record of the work file; false when a stop came first.
bool ProcessWork(const std::string& work, const std::string& queue, const sigset_t& stop,
                 PassCounts* counts) {
  const std::vector<Record> records = ReadWork(work);
  counts->records += static_cast<int>(records.size());
  // One caller scope per pass: the library checks its database file once.
  velm::SetCallerSystem();
  for (const Record& record : records) {
    if (StopPending(stop)) {
      velm::ClearCaller();
      return false;
    }
    Handle(record, queue, counts);
  }
  velm::ClearCaller();
  if (unlink(work.c_str()) != 0 && errno != ENOENT) {
    syslog(LOG_ERR, "%s:%d cannot remove %s: %s", kSource, __LINE__, work.c_str(), strerror(errno));
  }
  return true;
}

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

}  // namespace

std::string WorkFile(const std::string& queue) { return queue + ".work"; }

bool RunPass(const Options& options, const sigset_t& stop, PassCounts* counts) {
  const std::string work = WorkFile(options.queue);
  struct stat st;
  if (stat(work.c_str(), &st) == 0 && !ProcessWork(work, options.queue, stop, counts)) {
    return false;
  }
  switch (TakeQueue(options.queue, work)) {
    case TakeResult::kEmpty:
      return true;
    case TakeResult::kFailed:
      return false;
    case TakeResult::kTaken:
      break;
  }
  return ProcessWork(work, options.queue, stop, counts);
}

int Run(const Options& options) {
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGUSR1, SIGTERM, SIGINT, SIGHUP}) sigaddset(&waited, sig);
  if (sigprocmask(SIG_BLOCK, &waited, nullptr) != 0) return 1;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);

  int pid_fd = -1;
  if (!options.pid_file.empty()) {
    std::string error;
    pid_fd = velm_services::HoldPidFile(options.pid_file, &error);
    if (pid_fd < 0) {
      syslog(LOG_ERR, "%s:%d %s", kSource, __LINE__, error.c_str());
      return 1;
    }
  }
  if (options.ready_fd >= 0) {
    const ssize_t told = write(options.ready_fd, "1", 1);
    (void)told;  // a parent that is gone needs no answer
    close(options.ready_fd);
  }
  syslog(LOG_INFO, "%s:%d started; queue %s", kSource, __LINE__, options.queue.c_str());
  int status = 0;
  for (;;) {
    PassCounts counts;
    const double start = Now();
    const bool done = RunPass(options, stop, &counts);
    if (counts.records > 0) {
      syslog(LOG_INFO,
             "%s:%d %d videos named: %d written (%d files), %d not in the database, %d failed, "
             "in %.3f s",
             kSource, __LINE__, counts.records, counts.videos, counts.files, counts.missing,
             counts.failed, Now() - start);
    }
    if (options.once) {
      status = done ? 0 : 1;
      break;
    }
    if (!done && StopPending(stop)) break;
    struct timespec timeout = {options.interval_s, 0};
    siginfo_t info;
    const int sig = sigtimedwait(&waited, &info, &timeout);
    if (sig == SIGTERM || sig == SIGINT) break;
  }
  syslog(LOG_INFO, "%s:%d stopped", kSource, __LINE__);
  if (pid_fd >= 0) velm_services::ReleasePidFile(options.pid_file, pid_fd);
  return status;
}

}  // namespace metadatad
}  // namespace kinoro
