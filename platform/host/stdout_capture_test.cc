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

// stdio, iostream and write(2) all land in the capture, and nothing written
// before it. Longer, shorter, empty, larger than what is kept between calls:
// each capture holds its own call's bytes only, never one of an earlier call.
TEST(StdoutCaptureTest, EachCaptureHoldsItsOwnCallsOutput) {
  StdoutCapture capture;
  std::string error;
  printf("before ");  // still in stdio's buffer: the real output's, not the call's
  ASSERT_TRUE(capture.Begin(&error)) << error;
  printf("a");
  std::cout << "b";
  fflush(stdout);  // stdio buffers, write(2) does not
  ASSERT_EQ(write(STDOUT_FILENO, "c", 1), 1);
  printf("d");  // left in the buffer; End() flushes it
  EXPECT_EQ(capture.End(), "abcd");
  EXPECT_FALSE(capture.active());
  for (size_t n : {10000u, 1u, 0u, 5000u, 3u, 9u << 20, 9u << 20, 5u}) {
    ASSERT_TRUE(capture.Begin(&error)) << error;
    std::string text(n, static_cast<char>('a' + n % 26));
    fwrite(text.data(), 1, text.size(), stdout);
    std::string got = capture.End();
    EXPECT_EQ(got.size(), n);
    EXPECT_TRUE(got == text) << n;
  }
}

TEST(StdoutCaptureTest, KeptRedirectedBetweenCalls) {
  fflush(stdout);
  struct stat before;
  fstat(STDOUT_FILENO, &before);
  int flags_before = fcntl(STDOUT_FILENO, F_GETFD);
  {
    StdoutCapture capture;
    EXPECT_EQ(capture.End(), "") << "End without Begin";
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
    ASSERT_TRUE(capture.Begin(&error));
    printf("dropped");  // the capture ends with the object
  }
  struct stat after;
  fstat(STDOUT_FILENO, &after);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the destructor restores standard output";
  EXPECT_EQ(fcntl(STDOUT_FILENO, F_GETFD), flags_before);
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
