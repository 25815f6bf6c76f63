#include "platform/videodb/sqlite_db.h"

#include <syslog.h>
#include <unistd.h>

#include <utility>

#include "kinoro/root.h"
#include "libkinoro/api.h"
#include "platform/videodb/schema.h"

namespace LibKinoro {
namespace db {

namespace {

struct ProcessState {
  std::string path = KINORO_PATH("/var/packages/Kinoro/var/kinoro.db");
  std::unique_ptr<internal::Connection> conn;
  pid_t owner_pid = 0;
  // Connections inherited over fork(): closing them in the child could
  // checkpoint or remove the parent's WAL files, so they are kept untouched.
  std::vector<std::unique_ptr<internal::Connection>> inherited;
};

ProcessState& State() {
  static ProcessState* state = new ProcessState();  // never destroyed: usable from exit handlers
  return *state;
}

}  // namespace

void SetDatabasePath(const std::string& path) {
  ProcessState& state = State();
  if (state.conn && state.owner_pid != getpid()) {
    state.inherited.push_back(std::move(state.conn));
  }
  state.conn.reset();
  state.path = path;
}

std::string GetDatabasePath() { return State().path; }

namespace internal {

Statement::Statement(Connection* conn, sqlite3_stmt* stmt, bool owned)
    : conn_(conn), stmt_(stmt), owned_(owned) {}

Statement::Statement(Statement&& other) noexcept
    : conn_(other.conn_), stmt_(other.stmt_), owned_(other.owned_), failed_(other.failed_) {
  other.stmt_ = nullptr;
  other.conn_ = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    Reset();
    conn_ = other.conn_;
    stmt_ = other.stmt_;
    owned_ = other.owned_;
    failed_ = other.failed_;
    other.stmt_ = nullptr;
    other.conn_ = nullptr;
  }
  return *this;
}

Statement::~Statement() { Reset(); }

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  if (owned_) {
    sqlite3_finalize(stmt_);
  } else {
    conn_->Release(stmt_);
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

std::unique_ptr<Connection> Connection::Open(const std::string& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<Connection> conn(new Connection(raw, path));
  if (rc != SQLITE_OK) {
    syslog(LOG_ERR, "%s:%d cannot open database %s: %s", "sqlite_db", __LINE__, path.c_str(),
           raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    return nullptr;
  }
  // Readers and the one writer of WAL mode do not block each other; the busy
  // timeout lets the pre-forked workers queue for the write lock.
  sqlite3_busy_timeout(raw, 5000);
  // A page of movies with its parts touches several hundred pages spread
  // over the tables (credits and people are not clustered by movie), more
  // than SQLite's default 2 MB cache holds, and this machine's reads through
  // the kernel are slow: a 16 MB cache and memory-mapped reads keep a
  // repeated listing in memory.
  if (!conn->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                  "PRAGMA foreign_keys=ON; PRAGMA cache_size=-16384; "
                  "PRAGMA mmap_size=268435456;")) {
    return nullptr;
  }
  if (!EnsureSchema(conn.get())) return nullptr;
  return conn;
}

Connection* Connection::Get() {
  ProcessState& state = State();
  pid_t pid = getpid();
  if (state.conn && state.owner_pid != pid) {
    state.inherited.push_back(std::move(state.conn));
  }
  if (!state.conn) {
    state.conn = Open(state.path);
    state.owner_pid = pid;
  }
  return state.conn.get();
}

Statement Connection::Prepare(const char* sql) {
  auto it = cache_.find(sql);
  if (it != cache_.end() && !it->second.in_use) {
    it->second.in_use = true;
    return Statement(this, it->second.stmt, false);
  }
  sqlite3_stmt* stmt = nullptr;
  unsigned flags = it == cache_.end() ? SQLITE_PREPARE_PERSISTENT : 0;
  if (sqlite3_prepare_v3(db_, sql, -1, flags, &stmt, nullptr) != SQLITE_OK) {
    LogError(sql);
    sqlite3_finalize(stmt);
    return Statement();
  }
  if (it != cache_.end()) return Statement(this, stmt, true);  // cached one is busy
  cache_[sql] = CachedStatement{stmt, true};
  return Statement(this, stmt, false);
}

void Connection::Release(sqlite3_stmt* stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  auto it = cache_.find(sqlite3_sql(stmt));
  if (it != cache_.end() && it->second.stmt == stmt) it->second.in_use = false;
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

Transaction::~Transaction() {
  if (begun_ && !done_) conn_->Prepare("ROLLBACK").Run();
}

bool Transaction::Commit() {
  if (!begun_ || done_) return false;
  if (!conn_->Prepare("COMMIT").Run()) return false;  // still open: the destructor rolls back
  done_ = true;
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
