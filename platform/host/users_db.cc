#include "platform/host/users_db.h"

#include <sodium.h>

#include <algorithm>

namespace kinoro {
namespace host {
namespace {

// The users table is shared with the user service, which reads it; its shape
// is fixed. Sessions are stored by a hash of their id, so a copy of the file
// does not hand out live sessions.
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS users (uid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, "
    "password_hash TEXT NOT NULL, is_admin INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS sessions (id_hash BLOB PRIMARY KEY, uid INTEGER NOT NULL, "
    "created INTEGER NOT NULL, last_seen INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS sessions_last_seen ON sessions(last_seen);"
    // Failure counters: per (account, client address) and per client
    // address. Rows for unknown names are made as for known ones (no oracle)
    // and purged once old, so guessing names cannot grow the file for good.
    // The per-account table of earlier versions is dropped: it locked an
    // account for everyone.
    "DROP TABLE IF EXISTS login_failures;"
    "CREATE TABLE IF NOT EXISTS account_failures (name TEXT NOT NULL, client TEXT NOT NULL, "
    "failures INTEGER NOT NULL, locked_until INTEGER NOT NULL, last_failure INTEGER NOT NULL, "
    "PRIMARY KEY (name, client)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS account_failures_last ON account_failures(last_failure);"
    "CREATE TABLE IF NOT EXISTS client_failures (client TEXT PRIMARY KEY, "
    "failures INTEGER NOT NULL, locked_until INTEGER NOT NULL, last_failure INTEGER NOT NULL) "
    "WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS client_failures_last ON client_failures(last_failure);";

bool g_cheap_hashes = false;

constexpr size_t kSidBytes = 16;
constexpr size_t kSidHashBytes = 32;
constexpr int kBusyTimeoutMs = 5000;

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

bool IsSidText(const std::string& sid) {
  if (sid.size() != kSidBytes * 2) return false;
  for (char c : sid) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void HashSid(const std::string& sid, unsigned char out[kSidHashBytes]) {
  crypto_generichash(out, kSidHashBytes, reinterpret_cast<const unsigned char*>(sid.data()),
                     sid.size(), nullptr, 0);
}

// A hash to verify against when the account does not exist, so that an
// unknown name costs as much as a wrong password.
const std::string& DummyHash() {
  static const std::string hash = [] {
    std::string h;
    // Always at full cost, whatever the tests chose.
    bool cheap = g_cheap_hashes;
    g_cheap_hashes = false;
    HashPassword("kinoro-no-such-user", &h);
    g_cheap_hashes = cheap;
    return h;
  }();
  return hash;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
  if (hash.empty()) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

// Binds a named parameter when the statement has it.
void BindText(sqlite3_stmt* stmt, const char* param, const std::string& value) {
  int index = sqlite3_bind_parameter_index(stmt, param);
  if (index > 0) sqlite3_bind_text(stmt, index, value.c_str(), -1, SQLITE_TRANSIENT);
}

void BindInt64(sqlite3_stmt* stmt, const char* param, int64_t value) {
  int index = sqlite3_bind_parameter_index(stmt, param);
  if (index > 0) sqlite3_bind_int64(stmt, index, value);
}

// Every statement is reset when its user is done with it: one left on a row
// would hold a read transaction open and pin an old snapshot.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~ResetOnExit() {
    if (stmt_ != nullptr) sqlite3_reset(stmt_);
  }

 private:
  sqlite3_stmt* stmt_;
};

}  // namespace

void UseCheapPasswordHashesForTesting() { g_cheap_hashes = true; }

bool HashPassword(const std::string& password, std::string* hash) {
  if (!SodiumReady()) return false;
  char out[crypto_pwhash_STRBYTES];
  unsigned long long ops =
      g_cheap_hashes ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t mem = g_cheap_hashes ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (crypto_pwhash_str(out, password.data(), password.size(), ops, mem) != 0) {
    return false;
  }
  *hash = out;
  return true;
}

UsersDb::UsersDb() = default;
UsersDb::~UsersDb() = default;

void UsersDb::NoteError(const char* what) {
  last_error_ = std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_.get()) : "not open");
}

bool UsersDb::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    *error = message != nullptr ? message : sqlite3_errmsg(db_.get());
    sqlite3_free(message);
    return false;
  }
  return true;
}

sqlite3_stmt* UsersDb::Prepare(Stmt* slot, const char* sql) {
  if (!*slot) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
      NoteError("prepare");
      return nullptr;
    }
    slot->reset(stmt);
  }
  sqlite3_reset(slot->get());
  sqlite3_clear_bindings(slot->get());
  return slot->get();
}

bool UsersDb::Open(const std::string& path, std::string* error) {
  if (!SodiumReady()) {
    *error = "libsodium cannot be initialised";
    return false;
  }
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    *error = "cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    db_.reset();
    return false;
  }
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  std::string why;
  // NORMAL is durable enough in WAL mode: a crash may lose the last session,
  // never corrupt the file.
  if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;", &why) ||
      !Exec(kSchema, &why)) {
    *error = path + ": " + why;
    db_.reset();
    return false;
  }
  return true;
}

bool UsersDb::Warm(std::string* error) {
  // A read transaction opens the WAL and shared-memory files.
  std::string why;
  if (!Exec("SELECT count(*) FROM sessions;", &why)) {
    *error = why;
    return false;
  }
  return true;
}

bool UsersDb::AddUser(const std::string& name, unsigned int uid, const std::string& password,
                      bool is_admin, std::string* error) {
  std::string hash;
  if (!HashPassword(password, &hash)) {
    *error = "cannot hash the password";
    return false;
  }
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(),
                         "INSERT INTO users (uid, name, password_hash, is_admin) "
                         "VALUES (?1, ?2, ?3, ?4)",
                         -1, &raw, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db_.get());
    return false;
  }
  Stmt stmt(raw);
  sqlite3_bind_int64(raw, 1, uid);
  sqlite3_bind_text(raw, 2, name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(raw, 3, hash.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(raw, 4, is_admin ? 1 : 0);
  int rc = sqlite3_step(raw);
  if (rc == SQLITE_CONSTRAINT) {
    *error = "a user named \"" + name + "\" or with uid " + std::to_string(uid) + " already exists";
    return false;
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_.get());
    return false;
  }
  return true;
}

bool UsersDb::DeleteUser(const std::string& name, std::string* error) {
  std::string why;
  if (!Exec("BEGIN IMMEDIATE;", &why)) {
    *error = why;
    return false;
  }
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db_.get(),
                     "DELETE FROM sessions WHERE uid = (SELECT uid FROM users WHERE name = ?1);"
                     "",
                     -1, &raw, nullptr);
  Stmt sessions(raw);
  raw = nullptr;
  sqlite3_prepare_v2(db_.get(), "DELETE FROM users WHERE name = ?1", -1, &raw, nullptr);
  Stmt users(raw);
  bool ok = sessions && users;
  if (ok) {
    sqlite3_bind_text(sessions.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(users.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(sessions.get()) == SQLITE_DONE && sqlite3_step(users.get()) == SQLITE_DONE;
  }
  if (!ok) {
    *error = sqlite3_errmsg(db_.get());
    Exec("ROLLBACK;", &why);
    return false;
  }
  if (sqlite3_changes(db_.get()) == 0) {
    *error = "no user named \"" + name + "\"";
    Exec("ROLLBACK;", &why);
    return false;
  }
  if (!Exec("COMMIT;", &why)) {
    *error = why;
    Exec("ROLLBACK;", &why);
    return false;
  }
  return true;
}

bool UsersDb::ListUsers(std::vector<UserRecord>* users, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(), "SELECT uid, name, is_admin FROM users ORDER BY uid", -1, &raw,
                         nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db_.get());
    return false;
  }
  Stmt stmt(raw);
  users->clear();
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    UserRecord u;
    u.uid = static_cast<unsigned int>(sqlite3_column_int64(raw, 0));
    u.name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
    u.is_admin = sqlite3_column_int(raw, 2) != 0;
    users->push_back(std::move(u));
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_.get());
    return false;
  }
  return true;
}

bool UsersDb::CreateSession(unsigned int uid, int64_t now, std::string* sid) {
  unsigned char bytes[kSidBytes];
  randombytes_buf(bytes, sizeof bytes);
  char hex[kSidBytes * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  std::string text(hex);
  unsigned char hash[kSidHashBytes];
  HashSid(text, hash);

  sqlite3_stmt* stmt = Prepare(&insert_session_,
                               "INSERT INTO sessions (id_hash, uid, created, last_seen) "
                               "VALUES (?1, ?2, ?3, ?3)");
  if (stmt == nullptr) return false;
  sqlite3_bind_blob(stmt, 1, hash, sizeof hash, SQLITE_TRANSIENT);
  sqlite3_bind_int64(stmt, 2, uid);
  sqlite3_bind_int64(stmt, 3, now);
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    NoteError("insert session");
    return false;
  }
  *sid = std::move(text);
  return true;
}

bool UsersDb::PurgeFailures(int64_t now, const SessionPolicy& policy) {
  // A row still locked stays whatever its age.
  struct Purge {
    Stmt* slot;
    const char* sql;
  };
  const Purge purges[] = {
      {&purge_account_failures_,
       "DELETE FROM account_failures WHERE last_failure < ?1 AND locked_until <= ?2"},
      {&purge_client_failures_,
       "DELETE FROM client_failures WHERE last_failure < ?1 AND locked_until <= ?2"},
  };
  for (const Purge& p : purges) {
    sqlite3_stmt* stmt = Prepare(p.slot, p.sql);
    if (stmt == nullptr) return false;
    sqlite3_bind_int64(stmt, 1, now - policy.failure_memory_seconds);
    sqlite3_bind_int64(stmt, 2, now);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
      NoteError("purge login failures");
      return false;
    }
  }
  return true;
}

LoginStatus UsersDb::CheckLock(Stmt* get, Stmt* clear, const char* get_sql, const char* clear_sql,
                               const std::string& name, const std::string& client, int64_t now) {
  sqlite3_stmt* stmt = Prepare(get, get_sql);
  if (stmt == nullptr) return LoginStatus::kError;
  ResetOnExit reset(stmt);
  BindText(stmt, ":name", name);
  BindText(stmt, ":client", client);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return LoginStatus::kOk;
  if (rc != SQLITE_ROW) {
    NoteError("read login failures");
    return LoginStatus::kError;
  }
  int64_t locked_until = sqlite3_column_int64(stmt, 0);
  sqlite3_reset(stmt);
  if (locked_until > now) return LoginStatus::kLocked;
  if (locked_until == 0) return LoginStatus::kOk;
  // A lock holds until it runs out; then the count starts again.
  stmt = Prepare(clear, clear_sql);
  if (stmt == nullptr) return LoginStatus::kError;
  BindText(stmt, ":name", name);
  BindText(stmt, ":client", client);
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    NoteError("clear login failures");
    return LoginStatus::kError;
  }
  return LoginStatus::kOk;
}

LoginResult UsersDb::Login(const std::string& name, const std::string& password,
                           const std::string& client, int64_t now, const SessionPolicy& policy) {
  LoginResult result;
  if (!PurgeFailures(now, policy)) return result;
  // The client first: a client that failed too often is refused before any
  // account is looked at or any hash is computed.
  constexpr char kGetClient[] = "SELECT locked_until FROM client_failures WHERE client = :client";
  constexpr char kClearClient[] = "DELETE FROM client_failures WHERE client = :client";
  constexpr char kGetAccount[] =
      "SELECT locked_until FROM account_failures WHERE name = :name AND client = :client";
  constexpr char kClearAccount[] =
      "DELETE FROM account_failures WHERE name = :name AND client = :client";
  result.status = CheckLock(&get_client_failures_, &clear_client_failures_, kGetClient,
                            kClearClient, name, client, now);
  if (result.status == LoginStatus::kOk) {
    result.status = CheckLock(&get_account_failures_, &clear_account_failures_, kGetAccount,
                              kClearAccount, name, client, now);
  }
  if (result.status != LoginStatus::kOk) return result;
  result.status = LoginStatus::kError;

  sqlite3_stmt* stmt =
      Prepare(&find_user_, "SELECT uid, password_hash, is_admin FROM users WHERE name = ?1");
  if (stmt == nullptr) return result;
  ResetOnExit reset_user(stmt);
  sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(stmt);
  bool found = rc == SQLITE_ROW;
  if (!found && rc != SQLITE_DONE) {
    NoteError("read user");
    return result;
  }
  std::string hash;
  if (found) {
    result.user.uid = static_cast<unsigned int>(sqlite3_column_int64(stmt, 0));
    const unsigned char* text = sqlite3_column_text(stmt, 1);
    hash = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    result.user.is_admin = sqlite3_column_int(stmt, 2) != 0;
    result.user.name = name;
  }
  sqlite3_reset(stmt);

  bool verified = VerifyPassword(found ? hash : DummyHash(), password) && found;
  if (!verified) {
    struct Count {
      Stmt* slot;
      const char* sql;
      int limit;
    };
    const Count counts[] = {
        {&add_account_failure_,
         "INSERT INTO account_failures (name, client, failures, locked_until, last_failure) "
         "VALUES (:name, :client, 1, CASE WHEN :limit <= 1 THEN :until ELSE 0 END, :now) "
         "ON CONFLICT(name, client) DO UPDATE SET failures = failures + 1, "
         "locked_until = CASE WHEN failures + 1 >= :limit THEN :until ELSE 0 END, "
         "last_failure = :now",
         policy.max_failures},
        {&add_client_failure_,
         "INSERT INTO client_failures (client, failures, locked_until, last_failure) "
         "VALUES (:client, 1, CASE WHEN :limit <= 1 THEN :until ELSE 0 END, :now) "
         "ON CONFLICT(client) DO UPDATE SET failures = failures + 1, "
         "locked_until = CASE WHEN failures + 1 >= :limit THEN :until ELSE 0 END, "
         "last_failure = :now",
         policy.max_client_failures},
    };
    for (const Count& c : counts) {
      stmt = Prepare(c.slot, c.sql);
      if (stmt == nullptr) return result;
      BindText(stmt, ":name", name);
      BindText(stmt, ":client", client);
      BindInt64(stmt, ":limit", c.limit);
      BindInt64(stmt, ":until", now + policy.lockout_seconds);
      BindInt64(stmt, ":now", now);
      if (sqlite3_step(stmt) != SQLITE_DONE) {
        NoteError("record login failure");
        return result;
      }
    }
    result.user = UserRecord();
    result.status = LoginStatus::kBadCredentials;
    return result;
  }

  // Only this client's count for this account starts again; the client's
  // own count stays, so that one good account does not reset its guessing.
  stmt = Prepare(&clear_account_failures_, kClearAccount);
  if (stmt == nullptr) return result;
  BindText(stmt, ":name", name);
  BindText(stmt, ":client", client);
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    NoteError("clear login failures");
    return result;
  }
  // Logins are rare next to lookups; they sweep out the expired sessions.
  stmt = Prepare(&purge_sessions_, "DELETE FROM sessions WHERE last_seen <= ?1");
  if (stmt == nullptr) return result;
  sqlite3_bind_int64(stmt, 1, now - policy.idle_seconds);
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    NoteError("purge sessions");
    return result;
  }
  if (!CreateSession(result.user.uid, now, &result.sid)) return result;
  result.status = LoginStatus::kOk;
  return result;
}

bool UsersDb::LookupSession(const std::string& sid, int64_t now, const SessionPolicy& policy,
                            UserRecord* user) {
  if (!IsSidText(sid)) return false;
  unsigned char hash[kSidHashBytes];
  HashSid(sid, hash);
  sqlite3_stmt* stmt = Prepare(&lookup_session_,
                               "SELECT s.uid, s.last_seen, u.name, u.is_admin FROM sessions s "
                               "JOIN users u ON u.uid = s.uid WHERE s.id_hash = ?1");
  if (stmt == nullptr) return false;
  ResetOnExit reset_lookup(stmt);
  sqlite3_bind_blob(stmt, 1, hash, sizeof hash, SQLITE_TRANSIENT);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE) NoteError("read session");
    return false;
  }
  UserRecord found;
  found.uid = static_cast<unsigned int>(sqlite3_column_int64(stmt, 0));
  int64_t last_seen = sqlite3_column_int64(stmt, 1);
  found.name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
  found.is_admin = sqlite3_column_int(stmt, 3) != 0;
  sqlite3_reset(stmt);

  if (now - last_seen >= policy.idle_seconds) {
    Logout(sid);
    return false;
  }
  // Writing on every request would serialise the workers on the database;
  // refreshing once per tenth of the idle time (at most a minute) keeps the
  // expiry within that much of exact.
  int64_t refresh = std::max<int64_t>(1, std::min<int64_t>(60, policy.idle_seconds / 10));
  if (now - last_seen >= refresh) {
    stmt = Prepare(&touch_session_, "UPDATE sessions SET last_seen = ?2 WHERE id_hash = ?1");
    if (stmt != nullptr) {
      sqlite3_bind_blob(stmt, 1, hash, sizeof hash, SQLITE_TRANSIENT);
      sqlite3_bind_int64(stmt, 2, now);
      if (sqlite3_step(stmt) != SQLITE_DONE) NoteError("refresh session");
      sqlite3_reset(stmt);
    }
  }
  *user = std::move(found);
  return true;
}

void UsersDb::Logout(const std::string& sid) {
  if (!IsSidText(sid)) return;
  unsigned char hash[kSidHashBytes];
  HashSid(sid, hash);
  sqlite3_stmt* stmt = Prepare(&delete_session_, "DELETE FROM sessions WHERE id_hash = ?1");
  if (stmt == nullptr) return;
  sqlite3_bind_blob(stmt, 1, hash, sizeof hash, SQLITE_TRANSIENT);
  if (sqlite3_step(stmt) != SQLITE_DONE) NoteError("delete session");
  sqlite3_reset(stmt);
}

}  // namespace host
}  // namespace kinoro
