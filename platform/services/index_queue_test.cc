#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

#include "common/testing/temp_dir.h"
#include "velm/services.h"

namespace {

using kinoro_testing::ReadFile;
using kinoro_testing::TempDir;

TEST(IndexQueueTest, AppendsOneLinePerRecordAndCreatesTheFile) {
  TempDir dir;
  std::string queue = dir.File("q.queue");
  mode_t old_mask = umask(022);
  EXPECT_EQ(0, WriteIndexQueue("b:movie:12", queue.c_str()));
  umask(old_mask);
  EXPECT_EQ(0, WriteIndexQueue("b:tvshow:-1", queue.c_str()));
  EXPECT_EQ("b:movie:12\nb:tvshow:-1\n", ReadFile(queue));
  struct stat st;
  ASSERT_EQ(0, stat(queue.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
}

TEST(IndexQueueTest, RefusesRecordsThatWouldNotBeOneLineAndUnusableFiles) {
  TempDir dir;
  std::string queue = dir.File("q.queue");
  for (const char* record : {"a\nb", "a\r", "\n", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, WriteIndexQueue(record, queue.c_str())) << (record ? record : "(null)");
  }
  EXPECT_FALSE(kinoro_testing::PathExists(queue));  // refused before opening
  for (const std::string& file : {dir.File("no/such/dir/q"), dir.path(), std::string()}) {
    EXPECT_EQ(-1, WriteIndexQueue("r", file.c_str())) << file;
  }
  EXPECT_EQ(-1, WriteIndexQueue("r", nullptr));
}

TEST(IndexQueueTest, ConcurrentWritersNeverInterleave) {
  TempDir dir;
  std::string queue = dir.File("q.queue");
  constexpr int kWriters = 4;
  constexpr int kRecords = 200;
  // Long records make a torn or interleaved write visible.
  const std::string padding(300, 'x');
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    children[w] = fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0) {
      for (int i = 0; i < kRecords; ++i) {
        std::string record = std::to_string(w) + ":" + std::to_string(i) + ":" + padding;
        if (WriteIndexQueue(record.c_str(), queue.c_str()) != 0) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream lines(ReadFile(queue));
  std::map<int, int> next_by_writer;
  std::string line;
  int total = 0;
  while (std::getline(lines, line)) {
    int writer = -1, index = -1;
    char tail[400] = {};
    ASSERT_EQ(3, sscanf(line.c_str(), "%d:%d:%399s", &writer, &index, tail)) << line;
    EXPECT_EQ(padding, tail);
    EXPECT_EQ(next_by_writer[writer]++, index);  // each writer's records in its order
    ++total;
  }
  EXPECT_EQ(kWriters * kRecords, total);
}

}  // namespace
