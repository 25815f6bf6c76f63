#include "common/backup_utils.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kinoro/root.h"
#include "tests/support/syslog_recorder.h"

namespace {

using kinoro_testing::SyslogLine;

// What the queue writer saw: the record, the file and the ids it ran with.
std::vector<std::string> g_queue_calls;
int g_queue_result = 0;
bool g_writer_gives_up = false;  // drops every id, so the caller's cannot come back

}  // namespace

// Replaces the platform's queue writer in this binary.
extern "C" int WriteIndexQueue(const char* record, const char* queue_file) {
  g_queue_calls.push_back(std::string(record) + " " + queue_file + " as " +
                          std::to_string(geteuid()) + "/" + std::to_string(getegid()));
  if (g_writer_gives_up && setresuid(4242, 4242, 4242) != 0) abort();
  return g_queue_result;
}

namespace {

constexpr uid_t kRoot = static_cast<uid_t>(-1);  // real and saved uid stay root

// The write runs as root and the caller's effective ids come back, also
// after a failed write; a failed switch is logged under the authorisation
// facility. Each case runs in a child, which may give up root for good.
TEST(BackupUtilsTest, WritesAsRootAndRestoresTheIds) {
  if (getuid() != 0) GTEST_SKIP() << "the run-as scope needs root";
  const std::string written =
      "b:tvshow:-7 " KINORO_PATH("/var/spool/velm_video_metadata.queue") " as 0/0";
  const struct {
    uid_t real;  // and saved
    uid_t euid;
    gid_t egid;
    int queue_result;
    bool writer_gives_up;
    bool result;
    std::vector<std::string> calls;
    std::vector<SyslogLine> logged;
  } cases[] = {
      {kRoot, 0, 0, 1, false, true, {written}, {}},
      {kRoot, 1000, 100, 0, false, true, {written}, {}},
      {kRoot, 1000, 0, 0, false, true, {written}, {}},  // only the uid comes back
      {kRoot, 1000, 100, -1, false, false, {written},
       {{LOG_ERR, "backup_utils:23 failed to write backup task tvshow(-7)"}}},
      {65534, 65534, 65534, 0, false, false, {},
       {{LOG_AUTH | LOG_ERR, "backup_utils:19 ERROR: IF_RUN_AS(0, 0)"}}},
      {kRoot, 65534, 65534, 0, true, true, {written},
       {{LOG_AUTH | LOG_CRIT, "backup_utils:19 ERROR: ~IF_RUN_AS(65534, 65534)"}}},
  };
  for (const auto& c : cases) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setresgid(c.real, c.egid, c.real) != 0 || setresuid(c.real, c.euid, c.real) != 0)
        _exit(64);
      g_queue_result = c.queue_result;
      g_writer_gives_up = c.writer_gives_up;
      int failed = Kinoro::WriteBackupTaskToQueue("tvshow", -7) == c.result ? 0 : 1;
      if (!c.writer_gives_up && (geteuid() != c.euid || getegid() != c.egid)) failed |= 2;
      if (g_queue_calls != c.calls) failed |= 4;
      if (kinoro_testing::SyslogLines() != c.logged) failed |= 8;
      _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status))
        << "euid " << c.euid << ", queue " << c.queue_result << ": 1 result, 2 ids, 4 queue calls, "
        << "8 log lines, 64 no switch";
  }
}

}  // namespace
