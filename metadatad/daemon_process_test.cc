// velmvideometadatad as a process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kinoro/root.h"
#include "metadatad/daemon.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/temp_db.h"
#include "velm/services.h"

extern char** environ;

namespace kinoro {
namespace metadatad {
namespace {

constexpr int kMovies = 300;

class DaemonProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    share_ = db_.dir() + "/share";
    ASSERT_TRUE(kinoro_testing::MakeDirs(share_));
    db_.WriteFile("b1.jpg", videodb_test::FakeJpeg(2000, 1));
    db_.WriteFile("b2.jpg", videodb_test::FakeJpeg(3000, 2));
    Json::Value document;
    document["libraries"][0] = videodb_test::ParseJson(R"({"id": 1, "public": true})");
    for (int i = 1; i <= kMovies; ++i) {
      Json::Value& movie = document["movies"][i - 1];
      movie = videodb_test::ParseJson(R"({"library_id": 1, "backdrops": ["b1.jpg", "b2.jpg"]})");
      movie["id"] = i;
      movie["title"] = "M" + std::to_string(i);
      movie["files"][0]["path"] = Movie(i);
      db_.WriteFile("share/" + std::to_string(i) + ".mkv", "v");
    }
    ASSERT_EQ("", db_.Import(Json::FastWriter().write(document)));
    queue_ = db_.dir() + "/queue";
    pid_file_ = db_.dir() + "/d.pid";
  }
  ~DaemonProcessTest() override {
    for (pid_t pid : started_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  std::string Movie(int i) { return share_ + "/" + std::to_string(i) + ".mkv"; }
  int Sidecars() {
    int n = 0;
    for (int i = 1; i <= kMovies; ++i) n += kinoro_testing::PathExists(Movie(i) + ".krmeta");
    return n;
  }
  pid_t Start(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {KINORO_METADATAD, "--queue", queue_,       "--pid-file",
                                     pid_file_,        "--db",    db_.db_path()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    started_.push_back(pid);
    return pid;
  }
  int Wait(pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  template <typename Done>
  bool Poll(Done done) {
    for (int ms = 0; ms < 20000; ++ms) {
      if (done()) return true;
      usleep(1000);
    }
    return false;
  }

  videodb_test::TempDb db_;
  kinoro_testing::ScopedRootFile shares_{
      KINORO_PATH("/etc/velm/shares.conf"),
      R"({"shares": [{"name": "media", "path": ")" + db_.dir() + R"(/share"}]})"};
  std::string share_, queue_, pid_file_;
  std::vector<pid_t> started_;
};

// Killed between taking the queue and finishing it, the daemon leaves its
// work file and a pid file that names nobody; the next start does the rest,
// refuses a second daemon, wakes on SIGUSR1 and ends on SIGTERM with status
// 0, taking its pid file with it.
TEST_F(DaemonProcessTest, AKilledPassIsFinishedByTheNextStart) {
  for (int i = 1; i <= kMovies; ++i) {
    ASSERT_EQ(0, WriteIndexQueue(("b:movie:" + std::to_string(i)).c_str(), queue_.c_str()));
  }
  const pid_t first = Start({"--foreground"});
  ASSERT_TRUE(Poll([&] { return kinoro_testing::PathExists(WorkFile(queue_)); }));
  ASSERT_EQ(0, kill(first, SIGKILL));
  EXPECT_EQ(128 + SIGKILL, Wait(first));
  ASSERT_TRUE(kinoro_testing::PathExists(WorkFile(queue_))) << "the pass ended before the kill";
  EXPECT_LT(Sidecars(), kMovies);
  EXPECT_EQ(-1, VLIBCProcSignalByPidFile(pid_file_.c_str(), 0)) << "a stale pid file counts";

  const pid_t daemon = Start({"--foreground", "--interval", "3600"});
  ASSERT_TRUE(Poll([&] { return VLIBCProcSignalByPidFile(pid_file_.c_str(), 0) == 0; }));
  EXPECT_TRUE(Poll([&] { return Sidecars() == kMovies; }));
  EXPECT_EQ(1, Wait(Start({"--once"})));
  ASSERT_EQ(0, unlink((Movie(7) + ".krmeta").c_str()));
  ASSERT_EQ(0, WriteIndexQueue("b:movie:7", queue_.c_str()));
  ASSERT_EQ(0, VLIBCProcSignalByPidFile(pid_file_.c_str(), SIGUSR1));
  EXPECT_TRUE(Poll([&] { return kinoro_testing::PathExists(Movie(7) + ".krmeta"); }));
  ASSERT_EQ(0, kill(daemon, SIGTERM));
  EXPECT_EQ(0, Wait(daemon));
  EXPECT_FALSE(kinoro_testing::PathExists(pid_file_));
  EXPECT_FALSE(kinoro_testing::PathExists(WorkFile(queue_)));
}

}  // namespace
}  // namespace metadatad
}  // namespace kinoro
