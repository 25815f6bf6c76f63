// The module against a database file that is missing, unreadable, read-only,
// has an immutable -shm file, or is replaced while the workers run: clean
// answers, one log line per fault, no file created, and recovery by itself.
#include <fcntl.h>
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
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/integration/module_fixture.h"
#include "velm/caller.h"

namespace integration {
namespace {

using LibKinoro::db::internal::Connection;

const char kBackdrop[] = "VELM.Kinoro.Backdrop";
const char kAcross[] = "VELM.Kinoro.AcrossLibrary";
const char kAdd[] = R"({"mapper_id": 40, "sharepath": "/media/f.jpg"})";

bool SetImmutable(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// The number of logged lines that contain `text`.
int LinesWith(const std::string& text) {
  int n = 0;
  for (const auto& line : kinoro_testing::SyslogLines())
    n += line.text.find(text) != std::string::npos;
  return n;
}

class DatabaseFaultTest : public ModuleTest {
 protected:
  // What user 1026 gets: get's HTTP status, the error codes of add and
  // delete_all (0 for success), and the lengths of the two lists (-1 when
  // a list failed).
  std::vector<int> Ask() {
    const kinoro::host::DispatchResult got = Call(kBackdrop, "get", R"({"mapper_id": 40})");
    const Json::Value libraries =
        Call(kAcross, "list_library", R"({"policy": "recently_added"})").envelope;
    const Json::Value movies =
        Call(kAcross, "list_movie", R"({"policy": "top_rating", "limit": 10})").envelope;
    return {got.is_raw ? got.raw.status : -1, Call(kBackdrop, "add", kAdd).ErrorCode(),
            Call(kBackdrop, "delete_all", R"({"mapper_id": 40})").ErrorCode(),
            libraries["success"].asBool() ? libraries["data"]["total"].asInt() : -1,
            movies["success"].asBool() ? static_cast<int>(movies["data"]["movies"].size()) : -1};
  }
};

TEST_F(DatabaseFaultTest, FaultsAnswerCleanlyLogOnceCreateNothingAndRecover) {
  const std::string db = db_.db_path();
  const std::vector<int> kHealthy = {200, 0, 0, 2, 8};
  const std::vector<int> kFaulty = {404, 117, 117, 0, 0};
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
    Reset(40);
    ASSERT_EQ(kHealthy, Ask());  // the connection is open and in use
    Reset(40);
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
    EXPECT_EQ(1, LinesWith("sqlite_db:")) << "one line per fault, not one per call";
    EXPECT_EQ(1, LinesWith("unavailable"));
    EXPECT_EQ(files, videodb_test::CountFiles(db_.dir())) << "a file was created";
    ASSERT_TRUE(c.repair()) << strerror(errno);
    EXPECT_EQ(kHealthy, Ask()) << "no recovery";
    EXPECT_EQ(1, LinesWith("available again"));
  }
}

// A database replaced under the running workers (an old copy restored with
// its -wal and -shm gone): the next call reopens it, and writes reach it.
TEST_F(DatabaseFaultTest, AReplacedDatabaseIsReopened) {
  const std::string db = db_.db_path();
  ASSERT_EQ(2, Ask()[3]);
  {
    std::unique_ptr<Connection> other =
        Connection::Open(db_.dir() + "/other.db", LibKinoro::db::internal::OpenMode::kCreate);
    ASSERT_NE(nullptr, other);
    std::string error;
    ASSERT_TRUE(LibKinoro::db::internal::ImportFile(other.get(), db_.WriteFile("other.json", R"({
          "libraries": [{"id": 1, "public": true}, {"id": 2, "public": true},
                        {"id": 3, "public": true}],
          "movies": [{"id": 4, "library_id": 2, "mapper_id": 40}]})"),
                                                    false, nullptr, &error))
        << error;
  }
  ASSERT_EQ(0, unlink((db + "-wal").c_str()));
  ASSERT_EQ(0, unlink((db + "-shm").c_str()));
  ASSERT_EQ(0, rename((db_.dir() + "/other.db").c_str(), db.c_str()));
  kinoro_testing::ClearSyslog();

  EXPECT_EQ(3, Ask()[3]);
  EXPECT_EQ(1, LinesWith("was replaced"));
  ASSERT_EQ(0, Call(kBackdrop, "add", kAdd).ErrorCode());
  std::unique_ptr<Connection> reader = Connection::Open(db);
  ASSERT_NE(nullptr, reader);
  auto count = reader->Prepare("SELECT COUNT(*) FROM backdrop");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(1, count.ColumnInt(0)) << "the add went to the old file";
}

}  // namespace
}  // namespace integration
