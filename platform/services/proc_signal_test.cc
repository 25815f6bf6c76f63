#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/daemon_stand_in.h"
#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace {

using kinoro_testing::DaemonStandIn;

// A pid file counts only while the process it names holds its lock. Each
// row rewrites the file a live stand-in holds ("@" stands for its pid).
TEST(ProcSignalTest, SignalsOnlyTheLiveHolderThatTheFileNames) {
  kinoro_testing::TempDir dir;
  const std::string path = dir.File("d.pid");
  const struct {
    std::string content;
    bool signalled;
  } cases[] = {{"@\n", true},
               {" @", true},
               {"@x\n", false},
               {"@\n1\n", false},                  // more than the pid
               {std::to_string(getpid()), false},  // a live pid, not the holder
               {"0\n", false},
               {"-1\n", false},  // a process group, every process
               {"99999999999\n", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    DaemonStandIn daemon(path);
    ASSERT_TRUE(daemon.ok());
    std::string content = c.content;
    const size_t at = content.find('@');
    if (at != std::string::npos) content.replace(at, 1, std::to_string(daemon.pid()));
    ASSERT_TRUE(kinoro_testing::WriteFile(path, content));  // the same file, still locked
    EXPECT_EQ(c.signalled ? 0 : -1, VLIBCProcSignalByPidFile(path.c_str(), SIGUSR1));
    EXPECT_EQ(c.signalled ? 1 : 0, daemon.Wakeups(c.signalled ? 1 : 0));
  }
  // Stale (the holder died), a FIFO (opened without blocking), missing.
  DaemonStandIn daemon(path);
  daemon.Kill();
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile(path.c_str(), 0));
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile(path.c_str(), 0));
  ASSERT_EQ(0, unlink(path.c_str()));
  for (const char* file : {path.c_str(), "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(-1, VLIBCProcSignalByPidFile(file, 0));
  }
}

}  // namespace
