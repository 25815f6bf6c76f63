#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace {

TEST(IndexQueueTest, AppendsOneLinePerRecordAndRefusesTheRest) {
  kinoro_testing::TempDir dir;
  const std::string queue = dir.File("q.queue");
  const mode_t old_mask = umask(022);
  EXPECT_EQ(0, WriteIndexQueue("b:movie:12", queue.c_str()));
  umask(old_mask);
  EXPECT_EQ(0, WriteIndexQueue("b:tvshow:-1", queue.c_str()));
  EXPECT_EQ("b:movie:12\nb:tvshow:-1\n", kinoro_testing::ReadFile(queue));
  struct stat st;
  ASSERT_EQ(0, stat(queue.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  // A record that would not be one line is refused and nothing written.
  for (const char* record : {"a\nb", "a\r", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, WriteIndexQueue(record, queue.c_str())) << (record ? record : "(null)");
  }
  EXPECT_EQ("b:movie:12\nb:tvshow:-1\n", kinoro_testing::ReadFile(queue));
  for (const char* file : {"", "/nonexistent/q", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, WriteIndexQueue("r", file)) << (file ? file : "(null)");
  }
}

}  // namespace
