#include "platform/videodb/sqlite_db.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "kinoro/root.h"
#include "libkinoro/api.h"
#include "platform/videodb/schema.h"
#include "velm/caller.h"

namespace LibKinoro {
namespace db {

namespace {

using internal::Connection;

struct ProcessState {
  std::string path = KINORO_PATH("/var/packages/Kinoro/var/kinoro.db");
  std::unique_ptr<Connection> conn;
  pid_t owner_pid = 0;
  // Connections inherited over fork(): closing them in the child could
  // checkpoint or remove the parent's WAL files, so they are kept untouched.
  std::vector<std::unique_ptr<Connection>> inherited;
  // Why the database was last found unusable ("" while it is usable), so
  // that a fault is logged when it starts, not on every call.
  std::string problem;
  // The module call (velm::Caller::serial) whose first query checked the
  // file; later queries of the same call skip the check.
  unsigned long checked_serial = 0;
  bool checked = false;
};

ProcessState& State() {
  static ProcessState* state = new ProcessState();  // never destroyed: usable from exit handlers
  return *state;
}

// Whether the database file at a path can be served, checked with the
// effective ids: the files are opened with those, and workers change only
// them.
struct FileCheck {
  bool exists = false;
  struct stat st = {};
  std::string problem;  // "" when the file can be served
};

FileCheck CheckFile(const std::string& path) {
  FileCheck check;
  if (stat(path.c_str(), &check.st) != 0) {
    check.problem = strerror(errno);
    return check;
  }
  check.exists = true;
  if (!S_ISREG(check.st.st_mode)) {
    check.problem = "not a regular file";
  } else if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
    check.problem = std::string("cannot be read and written: ") + strerror(errno);
  } else {
    for (const char* suffix : {"-wal", "-shm"}) {
      std::string side = path + suffix;
      if (faccessat(AT_FDCWD, side.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
        check.problem = side.substr(side.rfind('/') + 1) + " cannot be written: " + strerror(errno);
        break;
      }
    }
  }
  return check;
}

// Closes the process's connection. A normal close checkpoints and may
// remove the -wal and -shm files by name, which is right only while the
// path still names a usable copy of the file the connection has open.
void CloseConnection(ProcessState* state) {
  if (!state->conn) return;
  if (!state->conn->StillAtPath() || !CheckFile(state->path).problem.empty()) {
    state->conn->ForgetPath();
  }
  state->conn.reset();
}

void NoteProblem(ProcessState* state, const std::string& problem) {
  if (problem == state->problem) return;
  if (problem.empty()) {
    syslog(LOG_ERR, "%s:%d database %s is available again", "sqlite_db", __LINE__,
           state->path.c_str());
  } else {
    syslog(LOG_ERR, "%s:%d database %s unavailable: %s", "sqlite_db", __LINE__, state->path.c_str(),
           problem.c_str());
  }
  state->problem = problem;
}

}  // namespace

void SetDatabasePath(const std::string& path) {
  ProcessState& state = State();
  if (state.conn && state.owner_pid != getpid()) {
    state.inherited.push_back(std::move(state.conn));
  }
  CloseConnection(&state);
  state.checked = false;
  if (path != state.path) state.problem.clear();
  state.path = path;
}

std::string GetDatabasePath() { return State().path; }

namespace internal {

bool ConfigureSqliteForOneThread() {
  return sqlite3_config(SQLITE_CONFIG_MULTITHREAD) == SQLITE_OK &&
         sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
}

Statement::Statement(Connection* conn, sqlite3_stmt* stmt, bool* in_use)
    : conn_(conn), stmt_(stmt), in_use_(in_use) {}

Statement::Statement(Statement&& other) noexcept
    : conn_(other.conn_), stmt_(other.stmt_), in_use_(other.in_use_), failed_(other.failed_) {
  other.stmt_ = nullptr;
  other.conn_ = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    Reset();
    conn_ = other.conn_;
    stmt_ = other.stmt_;
    in_use_ = other.in_use_;
    failed_ = other.failed_;
    other.stmt_ = nullptr;
    other.conn_ = nullptr;
  }
  return *this;
}

Statement::~Statement() { Reset(); }

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  if (in_use_ == nullptr) {
    sqlite3_finalize(stmt_);
  } else {
    // Back to the cache for the next user, holding no values of this one.
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    *in_use_ = false;
  }
  stmt_ = nullptr;
}

Statement& Statement::Bind(int index, int value) {
  if (stmt_) sqlite3_bind_int(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, long long value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, double value) {
  if (stmt_) sqlite3_bind_double(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, const std::string& value) {
  if (stmt_) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  return *this;
}

Statement& Statement::BindView(int index, std::string_view value) {
  if (stmt_) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  }
  return *this;
}

void Statement::Rewind() {
  if (stmt_) sqlite3_reset(stmt_);
  failed_ = false;
}

Statement& Statement::BindBlob(int index, const void* data, size_t size) {
  if (stmt_) sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (stmt_) sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Statement::Step() {
  if (stmt_ == nullptr) {
    failed_ = true;
    return false;
  }
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) {
    failed_ = true;
    conn_->LogError(sqlite3_sql(stmt_));
  }
  return false;
}

bool Statement::Run() {
  while (Step()) {
  }
  return !failed_;
}

std::string Statement::ColumnText(int col) const {
  const unsigned char* text = sqlite3_column_text(stmt_, col);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
}

std::string Statement::ColumnBlob(int col) const {
  const void* data = sqlite3_column_blob(stmt_, col);
  if (data == nullptr) return std::string();
  return std::string(static_cast<const char*>(data),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
}

Connection::Connection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

Connection::~Connection() {
  for (auto& entry : cache_) sqlite3_finalize(entry.second.stmt);
  sqlite3_close_v2(db_);
}

namespace {

// Runs SQL on a connection that is still being set up, describing a failure
// in `error` instead of logging it.
bool ExecQuiet(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = std::string(sql) + ": " + (message ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  return false;
}

bool UserVersion(sqlite3* db, int* version, std::string* error) {
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW;
  if (ok) {
    *version = sqlite3_column_int(stmt, 0);
  } else {
    *error = std::string("cannot read the schema version: ") + sqlite3_errmsg(db);
  }
  sqlite3_finalize(stmt);
  return ok;
}

}  // namespace

std::unique_ptr<Connection> Connection::Open(const std::string& path, OpenMode mode,
                                             std::string* error) {
  std::string reason;
  std::unique_ptr<Connection> conn = OpenOrDescribe(path, mode, &reason);
  if (conn) return conn;
  if (error != nullptr) {
    *error = reason;
  } else {
    syslog(LOG_ERR, "%s:%d cannot open database %s: %s", "sqlite_db", __LINE__, path.c_str(),
           reason.c_str());
  }
  return nullptr;
}

std::unique_ptr<Connection> Connection::OpenOrDescribe(const std::string& path, OpenMode mode,
                                                       std::string* error) {
  // The file's identity before and after opening must agree, so that the
  // one recorded is the one SQLite has open.
  struct stat before;
  bool existed = stat(path.c_str(), &before) == 0;
  if (!existed && mode == OpenMode::kExisting) {
    *error = strerror(errno);
    return nullptr;
  }
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (mode == OpenMode::kCreate ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  std::unique_ptr<Connection> conn(new Connection(raw, path));
  if (rc != SQLITE_OK) {
    *error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    conn->ForgetPath();
    return nullptr;
  }
  struct stat after;
  if (stat(path.c_str(), &after) != 0 ||
      (existed && (after.st_dev != before.st_dev || after.st_ino != before.st_ino))) {
    *error = "the file changed while it was being opened";
    conn->ForgetPath();
    return nullptr;
  }
  conn->dev_ = after.st_dev;
  conn->ino_ = after.st_ino;
  // SQLite falls back to reading when it cannot write; a server that
  // acknowledged writes it cannot make would be worse than one that refuses.
  if (sqlite3_db_readonly(raw, "main") == 1) {
    *error = "opened read-only";
    conn->ForgetPath();
    return nullptr;
  }
  // Readers and the one writer of WAL mode do not block each other; the busy
  // timeout lets the pre-forked workers queue for the write lock.
  sqlite3_busy_timeout(raw, 5000);
  // The server never creates a schema: a file without one (an empty file, a
  // database of something else) is refused before anything is written. An
  // older Kinoro schema is brought up to date.
  int version = 0;
  if (!UserVersion(raw, &version, error)) {
    conn->ForgetPath();
    return nullptr;
  }
  if (mode == OpenMode::kExisting && (version == 0 || version > kSchemaVersion)) {
    *error = version == 0 ? "holds no Kinoro schema"
                          : "has schema version " + std::to_string(version) + ", not " +
                                std::to_string(kSchemaVersion);
    conn->ForgetPath();
    return nullptr;
  }
  // A page of movies with its parts touches several hundred pages spread
  // over the tables (credits and people are not clustered by movie), more
  // than SQLite's default 2 MB cache holds, and this machine's reads through
  // the kernel are slow: a 16 MB cache and memory-mapped reads keep a
  // repeated listing in memory.
  if (!ExecQuiet(raw,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                 "PRAGMA foreign_keys=ON; PRAGMA cache_size=-16384; "
                 "PRAGMA mmap_size=268435456;",
                 error)) {
    conn->ForgetPath();
    return nullptr;
  }
  if ((mode == OpenMode::kCreate || version != kSchemaVersion) && !EnsureSchema(conn.get())) {
    *error = "cannot create or use the schema";
    conn->ForgetPath();
    return nullptr;
  }
  return conn;
}

Connection* Connection::Get(OpenMode mode) {
  ProcessState& state = State();
  pid_t pid = getpid();
  if (state.conn && state.owner_pid != pid) {
    state.inherited.push_back(std::move(state.conn));
  }
  // Once per module call: the check costs a few system calls (about 5 us
  // here), more than a small query.
  const velm::Caller caller = velm::GetCaller();
  if (state.conn && state.checked && state.checked_serial == caller.serial &&
      caller.kind != velm::CallerKind::kNone) {
    return state.conn.get();
  }
  FileCheck check = CheckFile(state.path);
  if (state.conn && (!check.exists || check.st.st_dev != state.conn->dev_ ||
                     check.st.st_ino != state.conn->ino_)) {
    // Deleted or replaced under the open connection: writing on would go to
    // a file nobody reads. The connection goes without touching the names.
    if (check.exists) {
      syslog(LOG_ERR, "%s:%d database %s was replaced; reopening", "sqlite_db", __LINE__,
             state.path.c_str());
    }
    state.conn->ForgetPath();
    state.conn.reset();
  }
  std::string problem = check.problem;
  if (!check.exists && mode == OpenMode::kCreate) problem.clear();
  if (problem.empty() && !state.conn) {
    state.conn = OpenOrDescribe(state.path, mode, &problem);
    state.owner_pid = pid;
  }
  NoteProblem(&state, problem);
  state.checked = problem.empty();
  state.checked_serial = caller.serial;
  return problem.empty() ? state.conn.get() : nullptr;
}

bool Connection::StillAtPath() const {
  struct stat st;
  return stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void Connection::ForgetPath() {
  if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

Statement Connection::Prepare(const char* sql) {
  auto it = cache_.find(std::string_view(sql));
  if (it != cache_.end() && !it->second.in_use) {
    it->second.in_use = true;
    return Statement(this, it->second.stmt, &it->second.in_use);
  }
  sqlite3_stmt* stmt = nullptr;
  unsigned flags = it == cache_.end() ? SQLITE_PREPARE_PERSISTENT : 0;
  if (sqlite3_prepare_v3(db_, sql, -1, flags, &stmt, nullptr) != SQLITE_OK) {
    LogError(sql);
    sqlite3_finalize(stmt);
    return Statement();
  }
  if (it != cache_.end()) return Statement(this, stmt, nullptr);  // cached one is busy
  CachedStatement& cached = cache_[sql] = CachedStatement{stmt, true};
  return Statement(this, stmt, &cached.in_use);
}

bool Connection::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    syslog(LOG_ERR, "%s:%d %s: %s", "sqlite_db", __LINE__, sql, message ? message : "");
    sqlite3_free(message);
    return false;
  }
  return true;
}

void Connection::LogError(const char* what) const {
  syslog(LOG_ERR, "%s:%d %s: %s", "sqlite_db", __LINE__, what ? what : "", sqlite3_errmsg(db_));
}

Transaction::Transaction(Connection* conn) : conn_(conn) {
  begun_ = conn_ != nullptr && conn_->Prepare("BEGIN IMMEDIATE").Run();
}

bool Connection::CheckpointTruncate() {
  int log = 0, done = 0;
  return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &log, &done) ==
         SQLITE_OK;
}

Transaction::~Transaction() {
  if (begun_ && !done_) conn_->Prepare("ROLLBACK").Run();
}

bool Transaction::Commit() {
  if (!begun_ || done_) return false;
  if (!conn_->Prepare("COMMIT").Run()) return false;  // still open: the destructor rolls back
  done_ = true;
  if (!conn_->StillAtPath()) {
    syslog(LOG_ERR, "%s:%d database %s was deleted or replaced during a write", "sqlite_db",
           __LINE__, conn_->path().c_str());
    return false;
  }
  return true;
}

ReadSnapshot::ReadSnapshot(Connection* conn) : conn_(conn) {
  if (conn_ != nullptr && sqlite3_get_autocommit(conn_->handle())) {
    begun_ = conn_->Prepare("BEGIN").Run();
  }
}

ReadSnapshot::~ReadSnapshot() {
  if (begun_) conn_->Prepare("COMMIT").Run();
}

std::string Placeholders(size_t n) {
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ',';
    out += '?';
  }
  return out;
}

std::string DatabaseDir(const std::string& db_path) {
  size_t slash = db_path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return db_path.substr(0, slash);
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
