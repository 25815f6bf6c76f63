#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "common/testing/temp_dir.h"
#include "platform/services/user_config.h"
#include "velm/services.h"

namespace {

using kinoro_testing::TempDir;

class VelmUserTest : public ::testing::Test {
 protected:
  void SetUp() override { VelmUserSetDatabasePath(db_path_); }
  void TearDown() override { VelmUserSetDatabasePath(""); }

  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_path_.c_str(), &db));
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(SQLITE_OK, rc) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }

  void CreateUsers() {
    Exec(
        "CREATE TABLE users (uid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
        " password_hash TEXT NOT NULL, is_admin INTEGER NOT NULL DEFAULT 0);"
        "INSERT INTO users VALUES (1001, 'alice', 'h', 0), (1026, 'admin', 'h', 1),"
        " (4294967295, 'top', 'h', 0);");
  }

  TempDir dir_;
  std::string db_path_ = dir_.File("users.db");
};

TEST_F(VelmUserTest, KnownUsers) {
  CreateUsers();
  struct Case {
    unsigned int uid;
    const char* name;
    bool is_admin;
  } cases[] = {
      {1001, "alice", false},
      {1026, "admin", true},
      {4294967295u, "top", false},  // the whole unsigned range maps to SQLite integers
  };
  for (const Case& c : cases) {
    libkr::VelmUser user(c.uid);
    EXPECT_TRUE(user.exists()) << c.uid;
    EXPECT_EQ(c.uid, user.uid());
    EXPECT_EQ(c.name, user.name());
    EXPECT_EQ(c.is_admin, user.is_admin()) << c.uid;
  }
}

TEST_F(VelmUserTest, UnknownUserHasNoName) {
  CreateUsers();
  libkr::VelmUser user(1002);
  EXPECT_FALSE(user.exists());
  EXPECT_EQ("", user.name());
  EXPECT_EQ(1002u, user.uid());
}

TEST_F(VelmUserTest, MissingDatabaseIsNotCreated) {
  libkr::VelmUser user(1001);
  EXPECT_FALSE(user.exists());
  EXPECT_EQ("", user.name());
  EXPECT_FALSE(kinoro_testing::PathExists(db_path_));
}

TEST_F(VelmUserTest, UnusableDatabases) {
  Exec("CREATE TABLE sessions (sid TEXT);");
  EXPECT_FALSE(libkr::VelmUser(1001).exists()) << "no users table";
  ASSERT_TRUE(kinoro_testing::WriteFile(db_path_, "plain text, not SQLite at all\n"));
  EXPECT_FALSE(libkr::VelmUser(1001).exists()) << "not a database";
}

}  // namespace
