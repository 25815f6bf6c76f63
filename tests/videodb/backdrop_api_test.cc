// BackdropAPI against a real temporary database and share configuration.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "libkinoro/api.h"
#include "platform/services/share_config.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/support/syslog_recorder.h"
#include "tests/videodb/temp_db.h"
#include "velm/caller.h"

namespace {

using LibKinoro::db::api::BackdropAPI;
using ::testing::Contains;
using ::testing::Field;
using ::testing::HasSubstr;
using videodb_test::FakeJpeg;

const char kDoc[] = R"({
  "libraries": [{"id": 1, "public": true}],
  "movies": [{"id": 3, "library_id": 1, "mapper_id": 30}],
  "tvshows": [{"id": 2, "library_id": 1, "mapper_id": 20,
               "episodes": [{"id": 5, "mapper_id": 21}]}],
  "videos": [{"id": 4, "library_id": 1, "mapper_id": 40}]
})";

class BackdropApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(db_.Import(kDoc), "");
    share_ = db_.dir() + "/share";
    outside_ = db_.dir() + "/outside";
    ASSERT_EQ(mkdir(share_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside_.c_str(), 0755), 0);
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + share_ + R"("}]})"));
  }
  void TearDown() override { VELMShareSetConfigPath(""); }

  std::string InShare(const std::string& name, const std::string& bytes) {
    return db_.WriteFile("share/" + name, bytes);
  }
  long long Count(const char* sql) {
    auto stmt = LibKinoro::db::internal::Connection::Get()->Prepare(sql);
    return stmt.Step() ? stmt.ColumnInt64(0) : -1;
  }
  int ImageFiles() { return videodb_test::CountFiles(db_.dir() + "/images"); }

  videodb_test::TempDb db_;
  std::string share_;
  std::string outside_;
  BackdropAPI api_;
};

// The module's tests look up movies; the other kinds are seen here. With no
// caller named (a program that never set its scope) every video is one it
// may not see: nothing found, nothing added, nothing deleted.
TEST_F(BackdropApiTest, MapperIdsAndTypesAndNoCaller) {
  EXPECT_EQ(api_.GetMapperID(2, "tvshow"), 20);
  EXPECT_EQ(api_.GetMapperID(4, "video"), 40);
  EXPECT_EQ(api_.GetMapperID(5, "tvshow_episode"), 21);
  EXPECT_EQ(api_.GetMapperID(4, "movie"), -1);  // video 4 is no movie
  EXPECT_EQ(api_.GetIDTypeFromMapperID(21), std::make_pair(5, std::string("tvshow_episode")));
  ASSERT_GT(api_.Add(30, InShare("a.jpg", FakeJpeg(1000, 1)), false), 0);

  velm::ClearCaller();
  std::string digest;
  EXPECT_EQ("", api_.GetByMapperID(30, digest));
  EXPECT_LT(api_.Add(30, InShare("b.jpg", FakeJpeg(1000, 2)), false), 0);
  EXPECT_EQ(-1, api_.GetMapperID(3, "movie"));
  EXPECT_EQ(-1, api_.GetIDTypeFromMapperID(30).first);
  EXPECT_NE(0, api_.DeleteAll(30));  // a success that deletes nothing
  velm::SetCallerSystem();
  EXPECT_EQ(1, Count("SELECT COUNT(*) FROM backdrop"));
}

// A large image is a file of its own, shared by every backdrop with the
// same bytes and removed with the last of them; "get" gives the newest.
TEST_F(BackdropApiTest, StoredFilesAreSharedAndRemovedWithTheirLastBackdrop) {
  const std::string shared = FakeJpeg(150 * 1024, 6);
  ASSERT_GT(api_.Add(30, InShare("a.jpg", FakeJpeg(200 * 1024, 3)), false), 0);
  ASSERT_GT(api_.Add(30, InShare("b.jpg", shared), false), 0);
  ASSERT_GT(api_.Add(20, InShare("c.jpg", shared), false), 0);
  EXPECT_EQ(ImageFiles(), 2);
  std::string digest;
  EXPECT_EQ(api_.GetByMapperID(30, digest), shared);
  EXPECT_EQ(digest, LibKinoro::db::internal::Md5(shared));

  const std::string kept = FakeJpeg(600, 5);
  ASSERT_GT(api_.Add(30, InShare("kept.jpg", kept), true), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM backdrop WHERE mapper_id = 30"), 1);
  EXPECT_EQ(ImageFiles(), 1) << "only the file that 20 still uses stays";
  EXPECT_EQ(api_.GetByMapperID(30, digest), kept);
  EXPECT_NE(api_.DeleteAll(20), 0);
  EXPECT_EQ(ImageFiles(), 0);
  EXPECT_EQ(api_.GetByMapperID(20, digest), "");
}

TEST_F(BackdropApiTest, AddRefusesWhatIsNotAnImageInsideAShare) {
  const std::string jpeg = FakeJpeg(800, 7);
  std::string outside_file = db_.WriteFile("outside/x.jpg", jpeg);
  std::string huge = InShare("huge.jpg", jpeg);
  ASSERT_EQ(truncate(huge.c_str(), 20 * 1024 * 1024 + 1), 0);  // sparse, JPEG header kept
  std::string at_cap = InShare("at-cap.jpg", jpeg);
  ASSERT_EQ(truncate(at_cap.c_str(), 20 * 1024 * 1024), 0);
  std::string text = InShare("notes.jpg", "just some text, not an image");
  std::string sub = share_ + "/sub.jpg";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  std::string fine = InShare("fine.jpg", jpeg);
  std::string link_in = share_ + "/link-in.jpg";  // any link below the root, also one inside
  ASSERT_EQ(symlink("fine.jpg", link_in.c_str()), 0);

  struct Case {
    const char* what;
    std::string path;
    const char* log;
  } cases[] = {
      {"outside every share", outside_file, "outside every share"},
      {"a link that stays inside", link_in, "a symbolic link below the share root"},
      {"dot-dot out of the share", share_ + "/../outside/x.jpg", "\"..\" below"},
      {"a NUL in the path", fine + std::string("\0/../x", 6), "holds a NUL"},
      {"a share name's prefix is not the share", share_ + "-twin/x.jpg", "outside every share"},
      {"over the cap", huge, "more than"},
      {"text named .jpg", text, "not a JPEG or PNG image"},
      {"a directory", sub, "not a regular file"},
      {"relative path", "share/x.jpg", ""},
  };
  for (const Case& c : cases) {
    kinoro_testing::ClearSyslog();
    EXPECT_LT(api_.Add(30, c.path, false), 0) << c.what;
    EXPECT_THAT(kinoro_testing::SyslogLines(),
                Contains(Field(&kinoro_testing::SyslogLine::text, HasSubstr(c.log))))
        << c.what;
  }
  EXPECT_EQ(Count("SELECT COUNT(*) FROM backdrop"), 0);
  EXPECT_GT(api_.Add(30, at_cap, false), 0) << "exactly 20 MiB is allowed";
}

// A folder of the share swapped for a link to the outside while adds run:
// what was opened is below the share, whatever the name pointed at when.
TEST_F(BackdropApiTest, AFolderSwappedForALinkNeverLetsAnOutsideFileIn) {
  const std::string inside = FakeJpeg(700, 11);
  const std::string outside = FakeJpeg(701, 12);  // told apart by its size
  ASSERT_EQ(mkdir((share_ + "/dir").c_str(), 0755), 0);
  InShare("dir/img.jpg", inside);
  db_.WriteFile("outside/img.jpg", outside);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const std::string dir = share_ + "/dir";
    const std::string parked = share_ + "/dir.real";
    // Each state held a little while, so that adds meet both.
    while (!stop.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (rename(dir.c_str(), parked.c_str()) != 0) break;
      if (symlink(outside_.c_str(), dir.c_str()) != 0) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      unlink(dir.c_str());
      if (rename(parked.c_str(), dir.c_str()) != 0) break;
    }
  });
  int stored = 0;
  for (int i = 0; i < 3000; ++i) stored += api_.Add(30, share_ + "/dir/img.jpg", false) > 0;
  stop = true;
  swapper.join();
  EXPECT_GT(stored, 0) << "the swap never left the real folder in place";
  EXPECT_EQ(Count("SELECT COUNT(*) FROM backdrop"), stored);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM backdrop WHERE size != 700"), 0)
      << "a file from outside the share was stored";
}

}  // namespace
