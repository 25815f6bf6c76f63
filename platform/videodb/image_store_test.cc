#include "platform/videodb/image_store.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/tool_commands.h"
#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

void Age(const std::string& path, long long seconds) {
  struct utimbuf times;
  times.actime = times.modtime = time(nullptr) - seconds;
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(ImageStoreTest, SweepRemovesOnlyOldLeftovers) {
  videodb_test::TempDb db;
  ASSERT_EQ(db.Import(R"({"libraries": [{"id": 1}],
                          "movies": [{"id": 1, "library_id": 1, "mapper_id": 4}]})"),
            "");
  Connection* conn = Connection::Get();
  ImageStore store(conn->path());
  StoredImage used, orphan, fresh;
  bool created = false;
  ASSERT_TRUE(store.Prepare(videodb_test::FakeJpeg(kInlineImageMax * 2, 1), &used, &created));
  ASSERT_TRUE(store.Prepare(videodb_test::FakeJpeg(kInlineImageMax * 2, 2), &orphan, &created));
  ASSERT_TRUE(store.Prepare(videodb_test::FakeJpeg(kInlineImageMax * 2, 3), &fresh, &created));
  Statement add = conn->Prepare(
      "INSERT INTO backdrop (mapper_id, file, md5, size, mtime) VALUES (4, ?1, x'00', 1, 0)");
  ASSERT_TRUE(add.Bind(1, used.file).Run());
  std::string tmp = db.WriteFile("images/.tmp-abc123", "partial");
  for (const std::string& name : {used.file, orphan.file}) Age(store.dir() + "/" + name, 7200);
  Age(tmp, 7200);

  EXPECT_EQ(store.Sweep(conn, 3600), 2);
  EXPECT_TRUE(Exists(store.dir() + "/" + used.file));
  EXPECT_FALSE(Exists(store.dir() + "/" + orphan.file));
  EXPECT_TRUE(Exists(store.dir() + "/" + fresh.file)) << "may belong to an Add in progress";
  EXPECT_FALSE(Exists(tmp));
  EXPECT_EQ(kinoro_db::RunCommand("check", {}), 0);
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
