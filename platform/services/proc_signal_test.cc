#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/testing/temp_dir.h"
#include "velm/services.h"

namespace {

using kinoro_testing::TempDir;
using kinoro_testing::WriteFile;

volatile sig_atomic_t g_got_usr1 = 0;
void OnUsr1(int) { g_got_usr1 = 1; }

TEST(ProcSignalTest, SignalsTheNamedProcess) {
  struct sigaction action = {};
  action.sa_handler = OnUsr1;
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));
  TempDir dir;
  std::string pid_file = dir.File("d.pid");
  // Daemons write the pid with a line break; some pad it with blanks.
  ASSERT_TRUE(WriteFile(pid_file, "  " + std::to_string(getpid()) + "\n"));
  g_got_usr1 = 0;
  EXPECT_EQ(0, VLIBCProcSignalByPidFile(pid_file.c_str(), SIGUSR1));
  EXPECT_EQ(1, g_got_usr1);  // a signal to oneself is delivered before kill returns
}

TEST(ProcSignalTest, RefusesFilesWithoutAUsablePid) {
  TempDir dir;
  struct Case {
    const char* what;
    const char* content;
  } cases[] = {
      {"empty file", ""},
      {"no number", "daemon\n"},
      {"zero would signal our process group", "0\n"},
      {"negative would signal a group", "-1\n"},
      {"beyond pid range", "99999999999\n"},
      {"beyond long range", "999999999999999999999999\n"},
  };
  for (const Case& c : cases) {
    std::string pid_file = dir.File("x.pid");
    ASSERT_TRUE(WriteFile(pid_file, c.content));
    EXPECT_EQ(-1, VLIBCProcSignalByPidFile(pid_file.c_str(), 0)) << c.what;
  }
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile(dir.File("missing.pid").c_str(), 0));
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile("", 0));
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile(nullptr, 0));
}

TEST(ProcSignalTest, DeadProcessIsAFailure) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  TempDir dir;
  std::string pid_file = dir.File("dead.pid");
  ASSERT_TRUE(WriteFile(pid_file, std::to_string(child)));
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile(pid_file.c_str(), 0));
}

}  // namespace
