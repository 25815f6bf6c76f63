// The module against a database file that is missing, unreadable, read-only,
// has an immutable -shm file, or is replaced while the workers run: clean
// answers, one log line per fault, no file created, and recovery by itself.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <set>
#include <string>

#include "libkinoro/api.h"
#include "platform/services/share_config.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/integration/module_fixture.h"
#include "tests/videodb/syslog_capture.h"
#include "velm/caller.h"

namespace integration {
namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::OpenMode;

const char kDocument[] = R"({
  "libraries": [{"id": 1, "title": "Films", "type": "movie", "public": true}],
  "movies": [{"id": 7, "library_id": 1, "mapper_id": 70, "title": "A", "rating": 8.0}]
})";

// What a user gets from each method.
struct Answers {
  int get_status;
  int add_code;  // 0 for success
  int delete_code;
  int libraries;  // -1 when list_library failed
  int movies;     // -1 when list_movie failed

  bool operator==(const Answers& o) const {
    return get_status == o.get_status && add_code == o.add_code && delete_code == o.delete_code &&
           libraries == o.libraries && movies == o.movies;
  }
};

std::ostream& operator<<(std::ostream& os, const Answers& a) {
  return os << "{get " << a.get_status << ", add " << a.add_code << ", delete_all " << a.delete_code
            << ", libraries " << a.libraries << ", movies " << a.movies << "}";
}

bool SetImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return ok;
}

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

int LibraryLines() {
  int n = 0;
  for (const std::string& line : videodb_test::SyslogLines()) n += line.rfind("sqlite_db:", 0) == 0;
  return n;
}

// Runs a block with another effective uid, as a worker runs (its real uid
// stays root).
class EffectiveUser {
 public:
  explicit EffectiveUser(uid_t uid) : saved_(geteuid()) {
    EXPECT_EQ(0, seteuid(uid)) << strerror(errno);
  }
  ~EffectiveUser() { EXPECT_EQ(0, seteuid(saved_)); }

 private:
  uid_t saved_;
};

class DatabaseFaultTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ("", db_.Import(kDocument));
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + db_.dir() + R"("}]})"));
    image_ = videodb_test::FakeJpeg(3000, 5);
    db_.WriteFile("fanart.jpg", image_);
  }
  void TearDown() override { VELMShareSetConfigPath(""); }

  // Stores the video's one backdrop, as a tool would.
  void Seed() {
    velm::SetCallerSystem();
    LibKinoro::db::api::BackdropAPI library;
    ASSERT_GE(library.Add(70, db_.dir() + "/fanart.jpg", true), 0);
    velm::ClearCaller();
  }

  Answers Ask(unsigned int uid, bool admin) {
    Answers a{};
    Json::Value by_mapper;
    by_mapper["mapper_id"] = 70;
    kinoro::host::DispatchResult got =
        dispatcher_.Call(kBackdrop, "1", "get", by_mapper, uid, admin);
    a.get_status = got.is_raw ? got.raw.status : -1;
    Json::Value add = by_mapper;
    add["sharepath"] = "/media/fanart.jpg";
    a.add_code = Call(kBackdrop, "add", add, uid, admin)["error"]["code"].asInt();
    a.delete_code = Call(kBackdrop, "delete_all", by_mapper, uid, admin)["error"]["code"].asInt();
    Json::Value policy;
    policy["policy"] = "recently_added";
    Json::Value libraries = Call(kAcross, "list_library", policy, uid, admin);
    a.libraries = libraries["success"].asBool() ? libraries["data"]["libraries"].size() : -1;
    policy["policy"] = "top_rating";
    policy["limit"] = 10;
    Json::Value movies = Call(kAcross, "list_movie", policy, uid, admin);
    a.movies = movies["success"].asBool() ? movies["data"]["movies"].size() : -1;
    return a;
  }

  static constexpr const char* kBackdrop = "VELM.Kinoro.Backdrop";
  static constexpr const char* kAcross = "VELM.Kinoro.AcrossLibrary";
  std::string image_;
};

TEST_F(DatabaseFaultTest, FaultsAnswerCleanlyLogOnceCreateNothingAndRecover) {
  const std::string db = db_.db_path();
  const Answers kHealthy = {200, 0, 0, 1, 1};
  const Answers kFaulty = {404, 117, 117, 0, 0};
  struct Case {
    const char* name;
    bool needs_root;  // to act as another user, or to set the immutable flag
    std::function<bool()> fault;
    std::function<bool()> repair;
    bool as_other_user;  // the worker runs with another effective uid
  };
  const Case cases[] = {
      {"missing", false, [&] { return rename(db.c_str(), (db + ".away").c_str()) == 0; },
       [&] { return rename((db + ".away").c_str(), db.c_str()) == 0; }, false},
      {"unreadable", true,
       [&] { return chmod(db_.dir().c_str(), 0755) == 0 && chmod(db.c_str(), 0200) == 0; },
       [&] { return chmod(db.c_str(), 0644) == 0; }, true},
      {"read-only", true, [&] { return SetImmutable(db, true); },
       [&] { return SetImmutable(db, false); }, false},
      {"immutable -shm", true, [&] { return SetImmutable(db + "-shm", true); },
       [&] { return SetImmutable(db + "-shm", false); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Seed();
    ASSERT_EQ(kHealthy, Ask(1026, false));  // the connection is open and in use
    Seed();
    if (c.needs_root && geteuid() != 0) {
      std::cerr << "skipped \"" << c.name << "\": needs root\n";
      continue;
    }
    ASSERT_TRUE(c.fault()) << strerror(errno);
    // Undone whatever the checks below find, so that the folder can go.
    struct Repair {
      const Case& c;
      bool done = false;
      ~Repair() {
        if (!done) c.repair();
      }
    } repair{c};
    const std::set<std::string> files = Listing(db_.dir());
    videodb_test::ClearSyslog();
    for (int worker_restarts = 0; worker_restarts < 2; ++worker_restarts) {
      Answers answers;
      {
        EffectiveUser worker(c.as_other_user ? 65534 : geteuid());
        if (worker_restarts) LibKinoro::db::SetDatabasePath(db);  // a fresh worker's first call
        answers = Ask(1026, false);
      }
      EXPECT_EQ(kFaulty, answers) << (worker_restarts ? "after a restart" : "open connection");
    }
    EXPECT_EQ(1, LibraryLines()) << "one line per fault, not one per call";
    EXPECT_TRUE(videodb_test::SyslogContains("unavailable"));
    EXPECT_EQ(files, Listing(db_.dir())) << "a file was created";

    ASSERT_TRUE(c.repair()) << strerror(errno);
    repair.done = true;
    EXPECT_EQ(kHealthy, Ask(1026, false)) << "no recovery";
    EXPECT_TRUE(videodb_test::SyslogContains("available again"));
  }
}

// A database replaced under the running workers (an old copy restored with
// its -wal and -shm gone): the next call reopens it, and writes reach it.
TEST_F(DatabaseFaultTest, AReplacedDatabaseIsReopened) {
  const std::string db = db_.db_path();
  ASSERT_EQ(1, Ask(1024, true).libraries);
  {
    const std::string other = db_.dir() + "/other.db";
    std::unique_ptr<Connection> conn = Connection::Open(other, OpenMode::kCreate);
    ASSERT_NE(nullptr, conn);
    std::string error;
    ASSERT_TRUE(LibKinoro::db::internal::ImportFile(conn.get(), db_.WriteFile("other.json", R"({
          "libraries": [{"id": 1, "public": true}, {"id": 2, "public": true}],
          "movies": [{"id": 7, "library_id": 2, "mapper_id": 70, "title": "New"}]})"),
                                                    false, nullptr, &error))
        << error;
  }
  ASSERT_EQ(0, unlink((db + "-wal").c_str()));
  ASSERT_EQ(0, unlink((db + "-shm").c_str()));
  ASSERT_EQ(0, rename((db_.dir() + "/other.db").c_str(), db.c_str()));
  videodb_test::ClearSyslog();

  EXPECT_EQ(2, Ask(1024, true).libraries);
  EXPECT_TRUE(videodb_test::SyslogContains("was replaced"));
  Json::Value add;
  add["mapper_id"] = 70;
  add["sharepath"] = "/media/fanart.jpg";
  ASSERT_TRUE(Call(kBackdrop, "add", add, 1026, false)["success"].asBool());
  std::unique_ptr<Connection> reader = Connection::Open(db);
  ASSERT_NE(nullptr, reader);
  auto count = reader->Prepare("SELECT COUNT(*) FROM backdrop");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(1, count.ColumnInt(0)) << "the add went to the old file";
}

}  // namespace
}  // namespace integration
