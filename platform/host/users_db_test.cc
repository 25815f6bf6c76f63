#include "platform/host/users_db.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kinoro {
namespace host {
namespace {

constexpr int64_t kNow = 1'800'000'000;
constexpr char kClientA[] = "192.0.2.1";
constexpr char kClientB[] = "198.51.100.7";

class UsersDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseCheapPasswordHashesForTesting();
    std::string error;
    ASSERT_TRUE(db_.Open(dir_.File("users.db"), &error)) << error;
    ASSERT_TRUE(db_.AddUser("alice", 1001, "pw-alice", false, &error)) << error;
    policy_.idle_seconds = 100;
    policy_.max_failures = 3;
    policy_.max_client_failures = 5;
    policy_.lockout_seconds = 60;
    policy_.failure_memory_seconds = 600;
  }

  LoginResult Login(const std::string& name, const std::string& pw, int64_t now = kNow,
                    const std::string& client = kClientA) {
    return db_.Login(name, pw, client, now, policy_);
  }

  int Rows(const char* table) {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(dir_.File("users.db").c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(raw, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &stmt,
                       nullptr);
    int n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
    return n;
  }

  kinoro_testing::TempDir dir_;
  UsersDb db_;
  SessionPolicy policy_;
};

// A session is looked up to its user while it is used, and ends when left
// idle, at its logout (only that one) or with its user.
TEST_F(UsersDbTest, SessionsLiveWhileUsedAndEndIdleAtLogoutOrWithTheirUser) {
  UserRecord user;
  LoginResult r = Login("alice", "pw-alice");
  ASSERT_EQ(r.status, LoginStatus::kOk) << db_.last_error();
  EXPECT_EQ(r.sid.size(), 32u);
  EXPECT_EQ(r.sid.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(r.user.uid, 1001u);
  for (const char* sid : {"", "0123456789ABCDEF0123456789ABCDEF", "' OR 1=1 --"})
    EXPECT_FALSE(db_.LookupSession(sid, kNow, policy_, &user)) << sid;
  LoginResult idle = Login("alice", "pw-alice");
  ASSERT_EQ(idle.status, LoginStatus::kOk);
  EXPECT_NE(idle.sid, r.sid);
  // Used every 50 s, well past the 100 s idle limit in total.
  for (int64_t t = kNow + 50; t <= kNow + 300; t += 50) {
    ASSERT_TRUE(db_.LookupSession(r.sid, t, policy_, &user)) << "at +" << t - kNow;
  }
  EXPECT_EQ(user.uid, 1001u);
  EXPECT_EQ(user.name, "alice");
  // The other one was left alone: gone for good, not only too old.
  EXPECT_FALSE(db_.LookupSession(idle.sid, kNow + 300, policy_, &user));
  EXPECT_FALSE(db_.LookupSession(idle.sid, kNow + 50, policy_, &user));

  LoginResult third = Login("alice", "pw-alice", kNow + 300);
  db_.Logout(r.sid);
  EXPECT_FALSE(db_.LookupSession(r.sid, kNow + 301, policy_, &user));
  EXPECT_TRUE(db_.LookupSession(third.sid, kNow + 301, policy_, &user));
  std::string error;
  ASSERT_TRUE(db_.DeleteUser("alice", &error)) << error;
  EXPECT_FALSE(db_.LookupSession(third.sid, kNow + 302, policy_, &user));
}

TEST_F(UsersDbTest, FailuresLockTheAccountForOneClientAndThenTheClient) {
  struct Step {
    int64_t at;
    const char* client;
    const char* name;
    const char* password;
    LoginStatus expected;
  };
  // max_failures 3 per (account, client), max_client_failures 5 per client,
  // lockout 60 s.
  const Step steps[] = {
      {0, kClientA, "alice", "bad", LoginStatus::kBadCredentials},
      {1, kClientA, "alice", "bad", LoginStatus::kBadCredentials},
      {2, kClientA, "alice", "bad", LoginStatus::kBadCredentials},  // locks (alice, A) to +62
      {3, kClientA, "alice", "pw-alice", LoginStatus::kLocked},     // even the right one
      {3, kClientB, "alice", "pw-alice", LoginStatus::kOk},         // not from elsewhere
      {61, kClientA, "alice", "bad", LoginStatus::kLocked},
      {62, kClientA, "alice", "bad", LoginStatus::kBadCredentials},  // over, count restarts
      {63, kClientA, "alice", "pw-alice", LoginStatus::kOk},         // resets (alice, A)
      {64, kClientA, "alice", "bad", LoginStatus::kBadCredentials},  // 5th from A: A locked
      {65, kClientA, "mallory", "x", LoginStatus::kLocked},          // before any account is read
      {65, kClientA, "alice", "pw-alice", LoginStatus::kLocked},
      {65, kClientB, "mallory", "x", LoginStatus::kBadCredentials},  // unknown: as a bad password
      {65, kClientB, "alice", "pw-alice", LoginStatus::kOk},
      {124, kClientA, "alice", "pw-alice", LoginStatus::kOk},  // A's lock is over
  };
  for (const Step& s : steps) {
    EXPECT_EQ(Login(s.name, s.password, kNow + s.at, s.client).status, s.expected)
        << "at +" << s.at << " from " << s.client << ": " << s.name << "/" << s.password;
  }
}

// Guessing names from many addresses must not grow the file for good.
TEST_F(UsersDbTest, OldFailureRowsArePurged) {
  for (int i = 0; i < 20; ++i) {
    Login("guess" + std::to_string(i), "x", kNow, "10.0.0." + std::to_string(i % 4));
  }
  EXPECT_EQ(Rows("account_failures"), 20);
  EXPECT_EQ(Rows("client_failures"), 4);
  // Within memory nothing goes; after it, everything but the new success.
  ASSERT_EQ(Login("alice", "pw-alice", kNow + 600, kClientB).status, LoginStatus::kOk);
  EXPECT_EQ(Rows("account_failures"), 20);
  ASSERT_EQ(Login("alice", "pw-alice", kNow + 601, kClientB).status, LoginStatus::kOk);
  EXPECT_EQ(Rows("account_failures"), 0);
  EXPECT_EQ(Rows("client_failures"), 0);
}

}  // namespace
}  // namespace host
}  // namespace kinoro
