#include "common/backup_utils.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "common/testing/syslog_recorder.h"
#include "kinoro/root.h"

namespace {

using kinoro_testing::ClearSyslog;
using kinoro_testing::SyslogLine;
using kinoro_testing::SyslogLines;

struct QueueCall {
  std::string record;
  std::string queue_file;
  uid_t euid;
  gid_t egid;
};

std::vector<QueueCall> g_queue_calls;
int g_queue_result = 0;
std::function<void()> g_queue_action;  // runs inside the call, as the daemon's writer would

constexpr char kQueuePath[] = KINORO_PATH("/var/spool/velm_video_metadata.queue");

}  // namespace

// Replaces the platform's queue writer in this binary: the tests look at the
// record and at the ids the call ran with, without touching the root's queue.
extern "C" int WriteIndexQueue(const char* record, const char* queue_file) {
  g_queue_calls.push_back({record, queue_file, geteuid(), getegid()});
  if (g_queue_action) g_queue_action();
  return g_queue_result;
}

namespace {

class BackupUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "the run-as scope needs root";
    ClearSyslog();
    g_queue_calls.clear();
    g_queue_result = 0;
    g_queue_action = nullptr;
  }
  void TearDown() override {
    // Leave the process as it came, whatever a test did.
    setresgid(static_cast<gid_t>(-1), 0, static_cast<gid_t>(-1));
    setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1));
  }
};

// Runs `body` in a child process and returns what it wrote to the pipe.
std::string RunInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(fds[0]);
    std::string out = body();
    ssize_t ignored = write(fds[1], out.data(), out.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(child, nullptr, 0);
  return out;
}

std::string Describe(bool result) {
  std::string out = "result=" + std::to_string(result) +
                    " calls=" + std::to_string(g_queue_calls.size()) +
                    " ids=" + std::to_string(geteuid()) + "/" + std::to_string(getegid());
  for (const SyslogLine& line : SyslogLines()) {
    out += " log=" + std::to_string(line.priority) + ":" + line.text;
  }
  return out;
}

TEST_F(BackupUtilsTest, RecordForms) {
  struct Case {
    const char* type;
    int id;
    const char* record;
  } cases[] = {
      {"movie", 12, "b:movie:12"},
      {"tvshow", -1, "b:tvshow:-1"},
      {"movie", INT_MAX, "b:movie:2147483647"},
      {"movie", INT_MIN, "b:movie:-2147483648"},
      {"", 5, "b::5"},
  };
  for (const Case& c : cases) {
    g_queue_calls.clear();
    EXPECT_TRUE(Kinoro::WriteBackupTaskToQueue(c.type, c.id));
    ASSERT_EQ(1u, g_queue_calls.size());
    EXPECT_EQ(c.record, g_queue_calls[0].record);
    EXPECT_EQ(kQueuePath, g_queue_calls[0].queue_file);
  }
  EXPECT_TRUE(SyslogLines().empty());
}

// The write runs as root and the effective ids come back afterwards, also
// when the write fails; a negative queue result is the only failure. Real
// uid 0 keeps the way back to root open, as for a daemon that dropped its
// effective ids.
TEST_F(BackupUtilsTest, WritesAsRootAndRestoresTheIds) {
  struct Case {
    uid_t euid;
    gid_t egid;
    int queue_result;
    bool expected;
  } cases[] = {
      {0, 0, 0, true}, {0, 0, 1, true}, {0, 0, -2, false}, {65534, 65534, 0, true},
      {1000, 100, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.euid) + " result " + std::to_string(c.queue_result));
    ClearSyslog();
    g_queue_calls.clear();
    g_queue_result = c.queue_result;
    ASSERT_EQ(0, setresgid(static_cast<gid_t>(-1), c.egid, static_cast<gid_t>(-1)));
    ASSERT_EQ(0, setresuid(static_cast<uid_t>(-1), c.euid, static_cast<uid_t>(-1)));
    EXPECT_EQ(c.expected, Kinoro::WriteBackupTaskToQueue("tvshow", 7));
    EXPECT_EQ(c.euid, geteuid());
    EXPECT_EQ(c.egid, getegid());
    EXPECT_EQ(0u, getuid());  // real ids untouched
    ASSERT_EQ(1u, g_queue_calls.size());
    EXPECT_EQ(0u, g_queue_calls[0].euid);
    EXPECT_EQ(0u, g_queue_calls[0].egid);
    if (c.expected) {
      EXPECT_TRUE(SyslogLines().empty());
    } else {
      EXPECT_EQ(std::vector<SyslogLine>(
                    {{LOG_ERR, "backup_utils:23 failed to write backup task tvshow(7)"}}),
                SyslogLines());
    }
    ASSERT_EQ(0, setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)));
    ASSERT_EQ(0, setresgid(static_cast<gid_t>(-1), 0, static_cast<gid_t>(-1)));
  }
}

TEST_F(BackupUtilsTest, ProcessThatCannotBecomeRootQueuesNothing) {
  std::string out = RunInChild([] {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
      return std::string("could not drop root");
    }
    return Describe(Kinoro::WriteBackupTaskToQueue("movie", 12));
  });
  EXPECT_EQ("result=0 calls=0 ids=65534/65534 log=35:backup_utils:19 ERROR: IF_RUN_AS(0, 0)", out);
}

TEST_F(BackupUtilsTest, FailedRestoreIsLoggedAndKeepsTheResult) {
  std::string out = RunInChild([] {
    if (setresgid(-1, 65534, -1) != 0 || setresuid(-1, 65534, -1) != 0) {
      return std::string("could not drop root");
    }
    // The writer gives up every id, so there is no way back to 65534.
    g_queue_action = [] {
      if (setresgid(4242, 4242, 4242) != 0 || setresuid(4242, 4242, 4242) != 0) abort();
    };
    return Describe(Kinoro::WriteBackupTaskToQueue("movie", 12));
  });
  EXPECT_EQ("result=1 calls=1 ids=4242/4242 log=34:backup_utils:19 ERROR: ~IF_RUN_AS(65534, 65534)",
            out);
}

TEST_F(BackupUtilsTest, ScopeSwitchesGroupBeforeGivingUpRoot) {
  {
    Kinoro::RunAsScope scope(65534, 65533, "unit", 7, "AS_NOBODY");
    EXPECT_TRUE(scope.switched());
    EXPECT_EQ(65534u, geteuid());
    EXPECT_EQ(65533u, getegid());
  }
  EXPECT_EQ(0u, geteuid());
  EXPECT_EQ(0u, getegid());
  EXPECT_TRUE(SyslogLines().empty());
}

}  // namespace
