// The library against a database file that is missing, unreadable,
// read-only, has an immutable -shm file, or is replaced while the workers
// run: calls fail cleanly, one log line per fault, no file is created, and
// the first call after the repair succeeds.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "platform/services/share_config.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/support/syslog_recorder.h"
#include "tests/videodb/temp_db.h"
#include "velm/caller.h"

namespace {

using LibKinoro::db::internal::Connection;

bool SetImmutable(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// Exactly one logged line contains `text`.
auto LoggedOnce(const std::string& text) {
  return ::testing::Contains(
             ::testing::Field(&kinoro_testing::SyslogLine::text, ::testing::HasSubstr(text)))
      .Times(1);
}

class DatabaseFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ("", db_.Import(R"({
        "libraries": [{"id": 1, "public": true}, {"id": 2, "public": true}],
        "movies": [{"id": 4, "library_id": 1, "mapper_id": 40, "rating": 6.0},
                   {"id": 5, "library_id": 2, "rating": 7.0}]})"));
    image_ = db_.WriteFile("f.jpg", videodb_test::FakeJpeg(4096, 1));
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + db_.dir() + R"("}]})"));
  }
  void TearDown() override { VELMShareSetConfigPath(""); }
  // What one call of a worker gets (the database is checked once per call,
  // when the host names the caller): whether backdrop get, add, delete_all
  // and the mapper lookup succeeded, and the lengths of the two lists.
  std::vector<int> Ask() {
    velm::SetCallerSystem();
    LibKinoro::db::api::BackdropAPI backdrops;
    std::string digest;
    return {!backdrops.GetByMapperID(40, digest).empty(),
            backdrops.Add(40, image_, false) >= 0,
            backdrops.DeleteAll(40) != 0,
            backdrops.GetMapperID(4, "movie") > 0,
            static_cast<int>(LibKinoro::db::api::LibraryAPI().ListOrderByVideoCTime().size()),
            static_cast<int>(LibKinoro::db::api::MovieAPI().ListTopRating(10).size())};
  }
  // Gives movie 4 one backdrop.
  void Reset() {
    LibKinoro::db::api::BackdropAPI backdrops;
    ASSERT_NE(0, backdrops.DeleteAll(40));
    ASSERT_GE(backdrops.Add(40, image_, false), 0);
  }

  videodb_test::TempDb db_;
  std::string image_;
};

TEST_F(DatabaseFaultTest, FaultsFailCleanlyLogOnceCreateNothingAndRecover) {
  const std::string db = db_.db_path();
  const std::vector<int> kHealthy = {1, 1, 1, 1, 2, 2};
  const std::vector<int> kFaulty = {0, 0, 0, 0, 0, 0};
  const uid_t self = geteuid();
  const struct {
    const char* name;
    std::function<bool()> fault;
    std::function<bool()> repair;
    bool needs_root;  // to act as another user, or to set the immutable flag
    uid_t worker;     // the worker's effective uid (its real uid stays)
  } cases[] = {
      {"missing", [&] { return rename(db.c_str(), (db + ".away").c_str()) == 0; },
       [&] { return rename((db + ".away").c_str(), db.c_str()) == 0; }, false, self},
      {"unreadable",
       [&] { return chmod(db_.dir().c_str(), 0755) == 0 && chmod(db.c_str(), 0200) == 0; },
       [&] { return chmod(db.c_str(), 0644) == 0; }, true, 65534},
      {"read-only", [&] { return SetImmutable(db, true); }, [&] { return SetImmutable(db, false); },
       true, self},
      {"immutable -shm", [&] { return SetImmutable(db + "-shm", true); },
       [&] { return SetImmutable(db + "-shm", false); }, true, self},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && self != 0) continue;
    Reset();
    ASSERT_EQ(kHealthy, Ask());  // the connection is open and in use
    Reset();
    ASSERT_TRUE(c.fault()) << strerror(errno);
    const int files = videodb_test::CountFiles(db_.dir());
    kinoro_testing::ClearSyslog();
    for (int worker_restarts = 0; worker_restarts < 2; ++worker_restarts) {
      EXPECT_EQ(0, seteuid(c.worker));
      if (worker_restarts) LibKinoro::db::SetDatabasePath(db);  // a fresh worker's first call
      const std::vector<int> answers = Ask();
      EXPECT_EQ(0, seteuid(self));
      EXPECT_EQ(kFaulty, answers) << (worker_restarts ? "after a restart" : "open connection");
    }
    EXPECT_THAT(kinoro_testing::SyslogLines(), LoggedOnce("sqlite_db:"))
        << "one line per fault, not one per call";
    EXPECT_THAT(kinoro_testing::SyslogLines(), LoggedOnce("unavailable"));
    EXPECT_EQ(files, videodb_test::CountFiles(db_.dir())) << "a file was created";
    ASSERT_TRUE(c.repair()) << strerror(errno);
    EXPECT_EQ(kHealthy, Ask()) << "no recovery";
    EXPECT_THAT(kinoro_testing::SyslogLines(), LoggedOnce("available again"));
  }
}

// A database replaced under the running workers (an old copy restored with
// its -wal and -shm gone): the next call reopens it, and writes reach it.
TEST_F(DatabaseFaultTest, AReplacedDatabaseIsReopened) {
  const std::string db = db_.db_path();
  const std::string old_copy = db_.dir() + "/old.db";
  ASSERT_TRUE(Connection::Get()->Prepare(("VACUUM INTO '" + old_copy + "'").c_str()).Run());
  ASSERT_EQ("", db_.Import(R"({"libraries": [{"id": 3, "public": true}]})"));
  ASSERT_EQ(3, Ask()[4]);
  ASSERT_EQ(0, unlink((db + "-wal").c_str()));
  ASSERT_EQ(0, unlink((db + "-shm").c_str()));
  ASSERT_EQ(0, rename(old_copy.c_str(), db.c_str()));
  kinoro_testing::ClearSyslog();

  EXPECT_EQ(2, Ask()[4]);
  EXPECT_THAT(kinoro_testing::SyslogLines(), LoggedOnce("was replaced"));
  ASSERT_GE(LibKinoro::db::api::BackdropAPI().Add(40, image_, false), 0);
  std::unique_ptr<Connection> reader = Connection::Open(db);
  ASSERT_NE(nullptr, reader);
  auto count = reader->Prepare("SELECT COUNT(*) FROM backdrop");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(1, count.ColumnInt(0)) << "the add went to the old file";
}

}  // namespace
