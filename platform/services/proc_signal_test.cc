#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace {

volatile sig_atomic_t g_got_usr1 = 0;

TEST(ProcSignalTest, SignalsOnlyALivePidFromTheFile) {
  struct sigaction action = {};
  action.sa_handler = [](int) { g_got_usr1 = 1; };
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));
  pid_t dead = fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) _exit(0);
  ASSERT_EQ(dead, waitpid(dead, nullptr, 0));

  kinoro_testing::TempDir dir;
  const std::string pid_file = dir.File("d.pid");
  const struct {
    std::string content;
    int result;
  } cases[] = {
      {"  " + std::to_string(getpid()) + "\n", 0},  // blanks before, a line break after
      {std::to_string(dead), -1},
      {"", -1},
      {"daemon\n", -1},
      {"0\n", -1},   // would signal our process group (signal 0 is sent where refused)
      {"-1\n", -1},  // would signal every process
      {"99999999999\n", -1},
      {"999999999999999999999999\n", -1},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(kinoro_testing::WriteFile(pid_file, c.content));
    EXPECT_EQ(c.result, VLIBCProcSignalByPidFile(pid_file.c_str(), c.result == 0 ? SIGUSR1 : 0))
        << c.content;
  }
  EXPECT_EQ(1, g_got_usr1);  // a signal to oneself is delivered before kill returns
  for (const char* file : {"", "/nonexistent.pid", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, VLIBCProcSignalByPidFile(file, 0));
  }
}

}  // namespace
