#include "platform/host/stdout_capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

namespace kinoro {
namespace host {
namespace {

TEST(StdoutCaptureTest, CapturesEveryWayOfWriting) {
  StdoutCapture capture;
  std::string error;
  ASSERT_TRUE(capture.Begin(&error)) << error;
  printf("a");
  std::cout << "b";
  fflush(stdout);  // stdio buffers, write(2) does not
  ASSERT_EQ(write(STDOUT_FILENO, "c", 1), 1);
  fflush(stdout);
  printf("d");  // left in the buffer; End() flushes it
  EXPECT_EQ(capture.End(), "abcd");
  EXPECT_FALSE(capture.active());
}

TEST(StdoutCaptureTest, EachCaptureStartsEmpty) {
  StdoutCapture capture;
  std::string error;
  ASSERT_TRUE(capture.Begin(&error));
  printf("%s", std::string(10000, 'x').c_str());
  EXPECT_EQ(capture.End().size(), 10000u);
  ASSERT_TRUE(capture.Begin(&error));
  printf("y");
  EXPECT_EQ(capture.End(), "y");
  ASSERT_TRUE(capture.Begin(&error));
  EXPECT_EQ(capture.End(), "");
  // Longer, shorter, longer again: never a byte of an earlier call.
  for (size_t n : {5000u, 3u, 4000u, 0u, 9000u}) {
    ASSERT_TRUE(capture.Begin(&error));
    std::string text(n, static_cast<char>('a' + n % 26));
    fwrite(text.data(), 1, text.size(), stdout);
    EXPECT_EQ(capture.End(), text) << n;
  }
}

TEST(StdoutCaptureTest, AnswersLargerThanWhatIsKeptStillComeBackWhole) {
  StdoutCapture capture;
  std::string error;
  std::string big(9 << 20, 'b');
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(capture.Begin(&error));
    fwrite(big.data(), 1, big.size(), stdout);
    EXPECT_EQ(capture.End().size(), big.size());
  }
  ASSERT_TRUE(capture.Begin(&error));
  printf("small");
  EXPECT_EQ(capture.End(), "small");
}

TEST(StdoutCaptureTest, EndWithoutBeginAndDestructorRestore) {
  int before = fcntl(STDOUT_FILENO, F_GETFD);
  {
    StdoutCapture capture;
    EXPECT_EQ(capture.End(), "");
    std::string error;
    ASSERT_TRUE(capture.Begin(&error));
    printf("dropped");
  }
  // fd 1 is the real standard output again, with its old flags.
  EXPECT_EQ(fcntl(STDOUT_FILENO, F_GETFD), before);
}

TEST(StdoutCaptureTest, KeptRedirectedBetweenCalls) {
  fflush(stdout);
  int real = dup(STDOUT_FILENO);
  struct stat before;
  fstat(STDOUT_FILENO, &before);
  {
    StdoutCapture capture;
    capture.SetKeepRedirected(true);
    std::string error;
    ASSERT_TRUE(capture.Begin(&error)) << error;
    printf("first call");
    EXPECT_EQ(capture.End(), "first call");
    printf("between calls");  // nobody's answer
    ASSERT_TRUE(capture.Begin(&error)) << error;
    printf("2nd");
    EXPECT_EQ(capture.End(), "2nd");
    ASSERT_TRUE(capture.Begin(&error)) << error;
    EXPECT_EQ(capture.End(), "");
    capture.SetKeepRedirected(false);
    struct stat now;
    fstat(STDOUT_FILENO, &now);
    EXPECT_EQ(now.st_ino, before.st_ino) << "turning it off restores standard output";
    capture.SetKeepRedirected(true);
    ASSERT_TRUE(capture.Begin(&error));
    printf("x");
    EXPECT_EQ(capture.End(), "x");
  }
  struct stat after;
  fstat(STDOUT_FILENO, &after);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the destructor restores standard output";
  close(real);
}

TEST(StdoutCaptureTest, WorksWhenStandardOutputIsClosed) {
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  close(STDOUT_FILENO);
  StdoutCapture capture;
  std::string error;
  bool began = capture.Begin(&error);
  printf("z");
  std::string got = capture.End();
  bool still_closed = fcntl(STDOUT_FILENO, F_GETFD) < 0;
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_TRUE(began) << error;
  EXPECT_EQ(got, "z");
  EXPECT_TRUE(still_closed);
}

}  // namespace
}  // namespace host
}  // namespace kinoro
