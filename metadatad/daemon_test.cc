// A pass of the daemon against a real database and share: what it writes
// beside each kind of video, what it leaves alone, and where it refuses.
#include "metadatad/daemon.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "common/path_utils.h"
#include "kinoro/root.h"
#include "libkinoro/api.h"
#include "metadatad/sidecar.h"
#include "platform/services/share_config.h"
#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/temp_db.h"
#include "velm/caller.h"
#include "velm/services.h"

extern char** environ;

namespace kinoro {
namespace metadatad {
namespace {

using kinoro_testing::ReadFile;

// Movie 2 has two backdrops (one large enough to live in its own file) and a
// sort title that came from its file's name;
// movie 5's file is gone; movie 6's folder is a link out of the share.
const char kDocument[] = R"({
  "libraries": [{"id": 1, "type": "movie", "public": true}, {"id": 2, "type": "tvshow"},
                {"id": 3, "type": "home_video"}],
  "movies": [
    {"id": 2, "library_id": 1, "title": "Aliens", "original_available": "1986-07-18",
     "tmdb_id": 679, "rating": 7.9, "genres": ["Action"], "actors": ["S. Weaver", "M. Biehn"],
     "backdrops": ["b1.jpg", "b2.jpg"], "files": [{"path": "@SHARE@/films/Aliens.mkv"}],
     "from_name": ["sort_title"]},
    {"id": 5, "library_id": 1, "title": "Gone", "files": [{"path": "@SHARE@/films/Gone.mkv"}]},
    {"id": 6, "library_id": 1, "title": "Out", "files": [{"path": "@SHARE@/linked/Out.mkv"}]}],
  "tvshows": [{"id": 1, "library_id": 2, "title": "Show", "episodes": [
    {"id": 3, "season": 1, "episode": 2, "title": "Two",
     "files": [{"path": "@SHARE@/shows/Show/Season 01/Show - S01E02.mkv"}]}]}],
  "videos": [{"id": 4, "library_id": 3, "title": "Clip", "files": [{"path": "@SHARE@/home/clip.mp4"}]}]
})";

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    share_ = db_.dir() + "/share";
    outside_ = db_.dir() + "/outside";
    for (const char* dir :
         {"/share/films", "/share/shows/Show/Season 01", "/share/home", "/outside"}) {
      ASSERT_TRUE(kinoro_testing::MakeDirs(db_.dir() + dir));
    }
    ASSERT_EQ(0, symlink(outside_.c_str(), (share_ + "/linked").c_str()));
    for (const char* file : {"films/Aliens.mkv", "shows/Show/Season 01/Show - S01E02.mkv",
                             "home/clip.mp4", "linked/Out.mkv"}) {
      db_.WriteFile(std::string("share/") + file, "v");
    }
    db_.WriteFile("b1.jpg", small_);
    db_.WriteFile("b2.jpg", large_);
    std::string document = kDocument;
    for (size_t at; (at = document.find("@SHARE@")) != std::string::npos;) {
      document.replace(at, 7, share_);
    }
    ASSERT_EQ("", db_.Import(document));
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + share_ + R"("}]})"));
    options_.queue = db_.dir() + "/queue";
    sigemptyset(&stop_);
  }
  void TearDown() override { VELMShareSetConfigPath(""); }

  PassCounts Pass(std::initializer_list<const char*> records) {
    for (const char* record : records) {
      EXPECT_EQ(0, WriteIndexQueue(record, options_.queue.c_str()));
    }
    PassCounts counts;
    EXPECT_TRUE(RunPass(options_, stop_, &counts));
    return counts;
  }
  Json::Value Sidecar(const std::string& path) {
    return videodb_test::ParseJson(ReadFile(share_ + "/" + path + ".krmeta"));
  }

  videodb_test::TempDb db_;
  std::string share_, outside_;
  const std::string small_ = videodb_test::FakeJpeg(1000, 1);
  const std::string large_ = videodb_test::FakeJpeg(100 * 1024, 2);
  Options options_;
  sigset_t stop_;
};

TEST_F(DaemonTest, WritesBesideEachKindOfVideo) {
  // The work file a crash left is done first, then the queue.
  ASSERT_TRUE(kinoro_testing::WriteFile(WorkFile(options_.queue), "b:movie:2\n"));
  kinoro_testing::ClearSyslog();
  const PassCounts counts = Pass({"b:tvshow:1", "b:tvshow_episode:3", "b:video:4", "b:movie:5",
                                  "b:movie:6", "b:movie:99", "b:movie:2"});
  // Records: movie 2 once from each file; videos: all but 99; files: movie 2's
  // three once, a sidecar for each other video found.
  EXPECT_EQ(std::make_tuple(8, 7, 1, 6),
            std::make_tuple(counts.records, counts.videos, counts.missing, counts.files));
  EXPECT_FALSE(kinoro_testing::PathExists(WorkFile(options_.queue)));

  EXPECT_EQ(videodb_test::ParseJson(R"({"format": "kinoro-sidecar", "version": 1,
      "type": "movie", "title": "Aliens", "original_available":
      "1986-07-18", "tmdb_id": 679, "rating": 7.9, "genres": ["Action"],
      "actors": ["S. Weaver", "M. Biehn"],
      "backdrops": ["Aliens.mkv.backdrop-1.jpg", "Aliens.mkv.backdrop-2.jpg"]})"),
            Sidecar("films/Aliens.mkv"));
  EXPECT_TRUE(VELMKinoro::HasVideoMetaFile(share_ + "/films/Aliens.mkv"));  // as the module sees it
  EXPECT_EQ(small_, ReadFile(share_ + "/films/Aliens.mkv.backdrop-1.jpg"));
  EXPECT_EQ(large_, ReadFile(share_ + "/films/Aliens.mkv.backdrop-2.jpg"));
  EXPECT_EQ(videodb_test::ParseJson(R"({"format": "kinoro-sidecar", "version": 1,
      "type": "tvshow_episode", "title": "Two", "sort_title": "Two", "season": 1, "episode": 2,
      "tvshow": {"title": "Show"}})"),
            Sidecar("shows/Show/Season 01/Show - S01E02.mkv"));
  EXPECT_EQ("tvshow", Sidecar("shows/Show/tvshow")["type"].asString());  // above its seasons
  EXPECT_EQ("home_video", Sidecar("home/clip.mp4")["type"].asString());
  // The file that is gone and the folder that leads out of the share.
  EXPECT_EQ(1, videodb_test::CountFiles(outside_)) << "written outside the share";
  const auto lines = kinoro_testing::SyslogLines();
  EXPECT_EQ(2, std::count_if(lines.begin(), lines.end(), [](const auto& line) {
              return line.text.find("the video's file is gone") != std::string::npos;
            }));
}

// A second pass writes nothing that is already there; a link planted under
// a sidecar's name is replaced, not followed; backdrops the video lost go.
TEST_F(DaemonTest, RewritesOnlyWhatChanged) {
  EXPECT_EQ(3, Pass({"b:movie:2"}).files);
  EXPECT_EQ(0, Pass({"b:movie:2"}).files);
  ASSERT_TRUE(kinoro_testing::WriteFile(outside_ + "/target", "keep"));
  const std::string sidecar = share_ + "/films/Aliens.mkv.krmeta";
  ASSERT_EQ(0, unlink(sidecar.c_str()));
  ASSERT_EQ(0, symlink((outside_ + "/target").c_str(), sidecar.c_str()));
  velm::SetCallerSystem();  // a pass ends its own scope
  LibKinoro::db::api::BackdropAPI backdrops;
  const int mapper_id = backdrops.GetMapperID(2, "movie");
  ASSERT_NE(0, backdrops.DeleteAll(mapper_id));
  ASSERT_GT(backdrops.Add(mapper_id, share_ + "/films/Aliens.mkv.backdrop-2.jpg", false), 0);
  EXPECT_EQ(2, Pass({"b:movie:2"}).files);  // the sidecar and backdrop 1
  EXPECT_EQ("keep", ReadFile(outside_ + "/target"));
  EXPECT_NE("keep", ReadFile(sidecar)) << "the link is still there";
  EXPECT_EQ(large_, ReadFile(share_ + "/films/Aliens.mkv.backdrop-1.jpg"));
  EXPECT_FALSE(kinoro_testing::PathExists(share_ + "/films/Aliens.mkv.backdrop-2.jpg"));
  // With the database gone the task goes back to the queue.
  ASSERT_EQ(0, rename(db_.db_path().c_str(), (db_.db_path() + ".away").c_str()));
  EXPECT_EQ(1, Pass({"b:movie:2"}).failed);
  EXPECT_EQ("b:movie:2\n", ReadFile(options_.queue));
}

// As root, files are written as the owner of the share's root.
TEST_F(DaemonTest, WritesAsTheShareOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  for (const char* path : {"", "/films"})
    ASSERT_EQ(0, chown((share_ + path).c_str(), 65534, 65534));
  EXPECT_EQ(3, Pass({"b:movie:2"}).files);
  struct stat st;
  ASSERT_EQ(0, stat((share_ + "/films/Aliens.mkv.krmeta").c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(0u, geteuid());
  // A folder the owner may not write in is not written as root either.
  ASSERT_EQ(0, chown((share_ + "/home").c_str(), 0, 0));
  EXPECT_EQ(1, Pass({"b:video:4"}).failed);
  EXPECT_FALSE(kinoro_testing::PathExists(share_ + "/home/clip.mp4.krmeta"));
}

// A stop between records ends the pass and keeps the rest for next time.
TEST_F(DaemonTest, AStopKeepsTheWorkFile) {
  sigaddset(&stop_, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_, nullptr);
  raise(SIGTERM);
  ASSERT_EQ(0, WriteIndexQueue("b:movie:2", options_.queue.c_str()));
  PassCounts counts;
  EXPECT_FALSE(RunPass(options_, stop_, &counts));
  EXPECT_EQ("b:movie:2\n", ReadFile(WorkFile(options_.queue)));
  int sig = 0;
  sigwait(&stop_, &sig);
  EXPECT_EQ(3, Pass({}).files);
}

// The daemon as a process, started over what a crash left: its work file
// and a pid file that no process holds. It does that work first, holds the
// pid file against a second daemon, wakes on SIGUSR1 and ends on SIGTERM with
// status 0, taking its pid file with it.
TEST_F(DaemonTest, TheNextStartFinishesWhatACrashLeft) {
  kinoro_testing::ScopedRootFile shares(KINORO_PATH("/etc/velm/shares.conf"),
                                        ReadFile(db_.dir() + "/shares.conf"));
  const std::string pid_file = db_.dir() + "/d.pid";
  ASSERT_TRUE(kinoro_testing::WriteFile(pid_file, std::to_string(getpid()) + "\n"));
  ASSERT_TRUE(kinoro_testing::WriteFile(WorkFile(options_.queue), "b:movie:2\n"));
  auto start = [&](const char* mode) {
    const std::string args[] = {KINORO_METADATAD, mode,           "--interval", "3600",
                                "--queue",        options_.queue, "--pid-file", pid_file,
                                "--db",           db_.db_path()};
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ));
    return pid;
  };
  auto wait = [](pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  };
  auto appears = [&](const char* file) {
    for (int ms = 0; ms < 20000 && !kinoro_testing::PathExists(share_ + file); ++ms) usleep(1000);
    return kinoro_testing::PathExists(share_ + file);
  };
  const pid_t daemon = start("--foreground");
  EXPECT_TRUE(appears("/films/Aliens.mkv.krmeta"));
  EXPECT_EQ(std::to_string(daemon) + "\n", ReadFile(pid_file));
  EXPECT_EQ(1, wait(start("--once")));
  EXPECT_EQ(0, WriteIndexQueue("b:video:4", options_.queue.c_str()));
  EXPECT_EQ(0, VLIBCProcSignalByPidFile(pid_file.c_str(), SIGUSR1));
  EXPECT_TRUE(appears("/home/clip.mp4.krmeta"));
  kill(daemon, SIGTERM);
  EXPECT_EQ(0, wait(daemon));
  EXPECT_FALSE(kinoro_testing::PathExists(pid_file));
}

}  // namespace
}  // namespace metadatad
}  // namespace kinoro
