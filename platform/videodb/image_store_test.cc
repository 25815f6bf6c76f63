#include "platform/videodb/image_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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

TEST(ImageStoreTest, InlineUpToTheLimitThenOneFilePerContent) {
  videodb_test::TempDb db;
  ImageStore store(db.db_path());
  StoredImage small, large, again;
  bool created = false;
  ASSERT_TRUE(store.Prepare(videodb_test::FakeJpeg(kInlineImageMax, 1), &small, &created));
  EXPECT_FALSE(created);
  EXPECT_TRUE(small.file.empty());
  EXPECT_EQ(small.blob.size(), kInlineImageMax);
  const std::string bytes = videodb_test::FakeJpeg(kInlineImageMax + 1, 2);
  ASSERT_TRUE(store.Prepare(bytes, &large, &created));
  EXPECT_TRUE(created);
  EXPECT_TRUE(large.blob.empty());
  EXPECT_EQ(large.md5.size(), 16u);
  ASSERT_TRUE(store.Prepare(bytes, &again, &created));
  EXPECT_FALSE(created) << "the same content reuses its file";
  EXPECT_EQ(again.file, large.file);
  std::string read;
  ASSERT_TRUE(store.Read(large.file, &read));
  EXPECT_EQ(read, bytes);
}

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
