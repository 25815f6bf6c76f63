#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/support/temp_dir.h"
#include "velm/services.h"

// That a writer waiting for the lock follows a queue the reader has taken is
// pinned under load, with the reader's side, by metadatad's QueueWorkTest.
namespace {

using kinoro_testing::ReadFile;

TEST(IndexQueueTest, AppendsOneLinePerRecordAndRefusesTheRest) {
  kinoro_testing::TempDir dir;
  const std::string queue = dir.File("q.queue");
  const mode_t old_mask = umask(022);
  EXPECT_EQ(0, WriteIndexQueue("b:movie:12", queue.c_str()));
  umask(old_mask);
  EXPECT_EQ(0, WriteIndexQueue("b:tvshow:-1", queue.c_str()));
  EXPECT_EQ("b:movie:12\nb:tvshow:-1\n", ReadFile(queue));
  struct stat st;
  ASSERT_EQ(0, stat(queue.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  // A record that would not be one line is refused and nothing written.
  for (const char* record : {"a\nb", "a\r", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, WriteIndexQueue(record, queue.c_str())) << (record ? record : "(null)");
  }
  EXPECT_EQ("b:movie:12\nb:tvshow:-1\n", ReadFile(queue));
  for (const char* file : {"", "/nonexistent/q", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, WriteIndexQueue("r", file)) << (file ? file : "(null)");
  }
}

// A write cut short (here by the file size limit, as by a full disk) leaves
// no part of its record before the next one.
TEST(IndexQueueTest, AShortWriteLeavesNoHalfRecord) {
  kinoro_testing::TempDir dir;
  const std::string queue = dir.File("q");
  ASSERT_EQ(0, WriteIndexQueue("b:movie:1", queue.c_str()));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {14, 14};  // room for 4 of the next record's 10 bytes
    _exit(setrlimit(RLIMIT_FSIZE, &limit) == 0 && WriteIndexQueue("b:movie:2", queue.c_str()) == -1
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(0, status);
  ASSERT_EQ(0, WriteIndexQueue("b:movie:3", queue.c_str()));
  EXPECT_EQ("b:movie:1\nb:movie:3\n", ReadFile(queue));
}

}  // namespace
