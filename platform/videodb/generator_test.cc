#include "platform/videodb/generator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "libkinoro/api.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

TEST(GeneratorTest, FillsAnEmptyDatabaseOnlyAndAnswersQueries) {
  videodb_test::TempDb db;
  Connection* conn = Connection::Get();
  ASSERT_NE(conn, nullptr);
  GenerateOptions options;
  options.movies = 400;
  std::string error;
  auto indexes = [conn] {
    Statement stmt = conn->Prepare(
        "SELECT group_concat(sql, ';') FROM (SELECT sql FROM sqlite_schema "
        "WHERE type = 'index' ORDER BY name)");
    return stmt.Step() ? stmt.ColumnText(0) : std::string();
  };
  const std::string before = indexes();
  ASSERT_TRUE(Generate(conn, options, &error)) << error;
  EXPECT_EQ(indexes(), before) << "the indexes dropped for the bulk write are back";
  struct stat wal;
  ASSERT_EQ(stat((db.db_path() + "-wal").c_str(), &wal), 0);
  EXPECT_EQ(wal.st_size, 0) << "the log is truncated after a bulk write";
  // The bulk write's rollback journal, larger cache and unchecked foreign
  // keys are put back, and the rows it wrote hold to those keys.
  for (const auto& [pragma, value] : {std::pair<const char*, const char*>{"journal_mode", "wal"},
                                      {"cache_size", "-16384"},
                                      {"foreign_keys", "1"},
                                      {"threads", "0"},
                                      {"foreign_key_check", ""}}) {
    Statement stmt = conn->Prepare((std::string("PRAGMA ") + pragma).c_str());
    EXPECT_EQ(stmt.Step() ? stmt.ColumnText(0) : "", value) << pragma;
  }
  EXPECT_FALSE(Generate(conn, options, &error));
  EXPECT_NE(error.find("already holds libraries"), std::string::npos);

  api::MovieAPI admin;
  admin.is_admin = true;
  api::MovieAPI user;
  user.uid = 1002;  // libraries 1 and 3: half the movies
  EXPECT_EQ(admin.ListTopRating(1000).size(), 400u);
  EXPECT_EQ(user.ListTopRating(1000).size(), 200u);
  admin.with_poster_mtime = true;
  int with_poster = 0;
  for (const auto& movie : admin.ListTopRating(1000)) {
    with_poster += !movie.additional["poster_mtime"].asString().empty();
  }
  EXPECT_EQ(with_poster, 40);
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
