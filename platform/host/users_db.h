// Users, sessions and failed-login bookkeeping in the appliance's users.db
// (SQLite, WAL). Several processes and threads open it at once; each holds
// its own connection and uses it from one thread.
#ifndef KINORO_PLATFORM_HOST_USERS_DB_H_
#define KINORO_PLATFORM_HOST_USERS_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kinoro {
namespace host {

struct UserRecord {
  unsigned int uid = 0;
  std::string name;
  bool is_admin = false;
};

struct SessionPolicy {
  int64_t idle_seconds = 24 * 3600;  // a session unused this long is gone
  // Failed logins in a row for one account from one client address lock that
  // pair (not the account for everyone).
  int max_failures = 5;
  // Failed logins from one client address, whatever the accounts, lock the
  // address before any account is looked at.
  int max_client_failures = 20;
  int64_t lockout_seconds = 60;
  // Failures older than this are forgotten and their rows purged.
  int64_t failure_memory_seconds = 3600;
};

enum class LoginStatus {
  kOk,
  kBadCredentials,  // no such account or a wrong password (not told apart)
  kLocked,          // too many failures from this client; refused unchecked
  kError,           // the database failed
};

struct LoginResult {
  LoginStatus status = LoginStatus::kError;
  std::string sid;  // 32 hex digits (128 random bits) when kOk
  UserRecord user;
};

// Hashes a password with crypto_pwhash_str at interactive cost. False when
// libsodium cannot (out of memory).
bool HashPassword(const std::string& password, std::string* hash);

// Unit tests hash many passwords; this makes new hashes cheap (libsodium's
// minimum cost). Verification reads the cost from each hash, so nothing else
// changes. Never called by the programs.
void UseCheapPasswordHashesForTesting();

class UsersDb {
 public:
  UsersDb();
  ~UsersDb();
  UsersDb(const UsersDb&) = delete;
  UsersDb& operator=(const UsersDb&) = delete;

  // Opens (creating the file and tables when missing) in WAL mode with a
  // busy timeout. False with `error` set on failure.
  bool Open(const std::string& path, std::string* error);
  // Makes sure the connection holds every file it needs (database, WAL and
  // shared memory), so the process can drop its privileges afterwards.
  bool Warm(std::string* error);

  // User administration.
  bool AddUser(const std::string& name, unsigned int uid, const std::string& password,
               bool is_admin, std::string* error);
  // Removes the user and its sessions. False when there is no such user.
  bool DeleteUser(const std::string& name, std::string* error);
  bool ListUsers(std::vector<UserRecord>* users, std::string* error);

  // Sessions. `now` is in seconds since the epoch. `client` names the
  // client's address; failures are counted per client and per (account,
  // client), and counters older than the policy's memory are purged.
  LoginResult Login(const std::string& name, const std::string& password, const std::string& client,
                    int64_t now, const SessionPolicy& policy);
  // The session's user when `sid` names a live session; refreshes its idle
  // clock. An expired session is removed.
  bool LookupSession(const std::string& sid, int64_t now, const SessionPolicy& policy,
                     UserRecord* user);
  // Ends the session; it is not an error if there was none.
  void Logout(const std::string& sid);

  const std::string& last_error() const { return last_error_; }

 private:
  struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  struct StmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
  };
  using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

  bool Exec(const char* sql, std::string* error);
  // A cached prepared statement, reset and with its bindings cleared.
  sqlite3_stmt* Prepare(Stmt* slot, const char* sql);
  void NoteError(const char* what);
  bool CreateSession(unsigned int uid, int64_t now, std::string* sid);
  bool PurgeFailures(int64_t now, const SessionPolicy& policy);
  // kOk when not locked (an expired lock is cleared), kLocked, or kError.
  LoginStatus CheckLock(Stmt* get, Stmt* clear, const char* get_sql, const char* clear_sql,
                        const std::string& name, const std::string& client, int64_t now);

  std::unique_ptr<sqlite3, DbCloser> db_;
  std::string last_error_;
  Stmt lookup_session_, touch_session_, delete_session_, insert_session_, purge_sessions_;
  Stmt find_user_, purge_account_failures_, purge_client_failures_;
  Stmt get_client_failures_, clear_client_failures_, add_client_failure_;
  Stmt get_account_failures_, clear_account_failures_, add_account_failure_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_USERS_DB_H_
