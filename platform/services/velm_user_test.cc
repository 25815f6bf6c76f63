#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "platform/services/user_config.h"
#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace {

// The columns of the host's users table that a lookup reads.
const char kUsers[] =
    "CREATE TABLE users (uid INTEGER PRIMARY KEY, name TEXT NOT NULL, is_admin INTEGER);"
    "INSERT INTO users VALUES (1001, 'alice', 0), (1026, 'admin', 1), (4294967295, 'top', 0);";

// Only the host's users table knows users; an unusable database knows
// nobody and a missing one is not created.
TEST(VelmUserTest, UsersFromTheHostsTable) {
  kinoro_testing::TempDir dir;
  const std::string path = dir.File("users.db");
  VelmUserSetDatabasePath(path);
  EXPECT_FALSE(libkr::VelmUser(1001).exists());
  EXPECT_FALSE(kinoro_testing::PathExists(path));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, kUsers, nullptr, nullptr, nullptr));
  sqlite3_close(db);
  const struct {
    unsigned int uid;
    const char* name;  // "" for no such user
    bool is_admin;
  } cases[] = {
      {1001, "alice", false},
      {1026, "admin", true},
      {4294967295u, "top", false},  // the whole unsigned range maps to SQLite integers
      {1002, "", false},
  };
  for (const auto& c : cases) {
    libkr::VelmUser user(c.uid);
    EXPECT_EQ(*c.name != '\0', user.exists()) << c.uid;
    EXPECT_EQ(c.name, user.name()) << c.uid;
    EXPECT_EQ(c.is_admin, user.is_admin()) << c.uid;
  }
  ASSERT_TRUE(kinoro_testing::WriteFile(path, "plain text, not SQLite at all\n"));
  EXPECT_FALSE(libkr::VelmUser(1001).exists()) << "not a database";
  VelmUserSetDatabasePath("");
}

}  // namespace
