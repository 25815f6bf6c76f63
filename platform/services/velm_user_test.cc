#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "platform/services/user_config.h"
#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace {

class VelmUserTest : public ::testing::Test {
 protected:
  void SetUp() override { VelmUserSetDatabasePath(db_path_); }
  void TearDown() override { VelmUserSetDatabasePath(""); }

  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_path_.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)) << sql;
    sqlite3_close(db);
  }

  kinoro_testing::TempDir dir_;
  std::string db_path_ = dir_.File("users.db");
};

// Only the host's users table knows users; an unusable database knows
// nobody and a missing one is not created.
TEST_F(VelmUserTest, UsersFromTheHostsTable) {
  EXPECT_FALSE(libkr::VelmUser(1001).exists());
  EXPECT_FALSE(kinoro_testing::PathExists(db_path_));
  Exec(
      "CREATE TABLE users (uid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
      " password_hash TEXT NOT NULL, is_admin INTEGER NOT NULL DEFAULT 0);"
      "INSERT INTO users VALUES (1001, 'alice', 'h', 0), (1026, 'admin', 'h', 1),"
      " (4294967295, 'top', 'h', 0);");
  const struct {
    unsigned int uid;
    bool exists;
    const char* name;
    bool is_admin;
  } cases[] = {
      {1001, true, "alice", false},
      {1026, true, "admin", true},
      {4294967295u, true, "top", false},  // the whole unsigned range maps to SQLite integers
      {1002, false, "", false},
  };
  for (const auto& c : cases) {
    libkr::VelmUser user(c.uid);
    EXPECT_EQ(c.exists, user.exists()) << c.uid;
    EXPECT_EQ(c.name, user.name()) << c.uid;
    EXPECT_EQ(c.is_admin, user.is_admin()) << c.uid;
  }
  ASSERT_TRUE(kinoro_testing::WriteFile(db_path_, "plain text, not SQLite at all\n"));
  EXPECT_FALSE(libkr::VelmUser(1001).exists()) << "not a database";
}

}  // namespace
