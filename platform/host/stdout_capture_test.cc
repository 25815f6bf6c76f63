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
  const int lowest_free_fd = dup(STDIN_FILENO);
  close(lowest_free_fd);
  for (size_t n : {10000u, 1u, 0u, 5000u, 3u, 9u << 20, 9u << 20, 5u}) {
    ASSERT_TRUE(capture.Begin(&error)) << error;
    std::string text(n, static_cast<char>('a' + n % 26));
    fwrite(text.data(), 1, text.size(), stdout);
    std::string got = capture.End();
    EXPECT_EQ(got.size(), n);
    EXPECT_TRUE(got == text) << n;
  }
  const int now_free = dup(STDIN_FILENO);  // a worker makes millions of calls
  close(now_free);
  EXPECT_EQ(now_free, lowest_free_fd) << "a capture left a descriptor open";

  // A file taken and given back is written over by a later capture, from its
  // start, and only what that capture wrote is its output.
  size_t size = 0;
  ASSERT_TRUE(capture.Begin(&error)) << error;
  printf("a long first answer");
  const int taken = capture.TakeFile(&size);
  ASSERT_GE(taken, 0);
  struct stat first;
  ASSERT_EQ(fstat(taken, &first), 0);
  capture.AddSpare(taken);
  for (const char* text : {"x", "yz"}) {  // the first goes to the file in use
    ASSERT_TRUE(capture.Begin(&error)) << error;
    printf("%s", text);
    const int fd = capture.TakeFile(&size);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(std::string(text) == "yz", st.st_ino == first.st_ino) << text;
    EXPECT_EQ(ReadFileRange(fd, 0, size), text);
    close(fd);
  }
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
