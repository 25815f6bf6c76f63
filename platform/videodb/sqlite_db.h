// The library's one SQLite connection per process and small RAII helpers
// around it. Everything reports failure by return value and logs the SQLite
// message with syslog; nothing throws.
#ifndef KINORO_PLATFORM_VIDEODB_SQLITE_DB_H_
#define KINORO_PLATFORM_VIDEODB_SQLITE_DB_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

// For a process whose connections are each used by one thread at a time
// (the kinoro-db tool), before its first SQLite call: no mutex around each
// call on a connection, and no global memory counters, whose mutex every
// SQLite allocation takes. A bulk import makes tens of millions of such
// calls. False when SQLite was already initialised.
bool ConfigureSqliteForOneThread();

// A prepared statement borrowed from the connection's cache (or owned, when
// the cached one is busy). Destruction resets it for the next user.
class Statement {
 public:
  Statement() = default;
  // `in_use`: the cache's flag for a borrowed statement, null for an owned
  // one.
  Statement(Connection* conn, sqlite3_stmt* stmt, bool* in_use);
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  ~Statement();

  bool ok() const { return stmt_ != nullptr; }

  // Parameter indexes are 1-based, as in SQLite.
  Statement& Bind(int index, int value);
  Statement& Bind(int index, long long value);
  Statement& Bind(int index, double value);
  Statement& Bind(int index, const std::string& value);
  // Binds text without copying it: it must stay until the statement is
  // reset or destroyed.
  Statement& BindView(int index, std::string_view value);
  Statement& BindBlob(int index, const void* data, size_t size);
  Statement& BindNull(int index);

  // True while a row is available; false at the end or on an error (see
  // failed()).
  bool Step();
  // Runs a statement that returns no rows; false on an error.
  bool Run();
  bool failed() const { return failed_; }
  // Makes a statement its user keeps ready to run again: reset, with its
  // parameters still bound (such a user binds every one on each use).
  void Rewind();

  int ColumnCount() const { return sqlite3_column_count(stmt_); }
  int ColumnInt(int col) const { return sqlite3_column_int(stmt_, col); }
  long long ColumnInt64(int col) const { return sqlite3_column_int64(stmt_, col); }
  double ColumnDouble(int col) const { return sqlite3_column_double(stmt_, col); }
  bool ColumnIsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string ColumnText(int col) const;
  std::string ColumnBlob(int col) const;

 private:
  void Reset();

  Connection* conn_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool* in_use_ = nullptr;
  bool failed_ = false;
};

// Whether opening may create the database. Only the tools that build a
// database (kinoro-db init, import, generate) create one; everything the
// server does opens an existing Kinoro database or fails.
enum class OpenMode { kExisting, kCreate };

class Connection {
 public:
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The process's connection to the current database file, opened on first
  // use and again after a fork. Before handing it out, each call checks
  // that the path still names a regular file this process can read and
  // write (with its effective ids), that its -wal and -shm files, where they
  // exist, can be written (SQLite maps the -shm file and a write fault there
  // is a SIGBUS), and that it is the file the connection has open; a file
  // that was replaced is reopened. nullptr when the database is missing,
  // unusable or cannot be opened: the reason is logged once when the state
  // changes, and nothing is created. kCreate makes a missing database with
  // its schema.
  static Connection* Get(OpenMode mode = OpenMode::kExisting);

  // Opens a connection of its own to `path` (tools and tests that want one
  // outside the process-wide slot). With `error` null a failure is logged;
  // otherwise it is described there.
  static std::unique_ptr<Connection> Open(const std::string& path,
                                          OpenMode mode = OpenMode::kExisting,
                                          std::string* error = nullptr);

  Statement Prepare(const char* sql);
  // Runs one or more statements without results.
  bool Exec(const char* sql);
  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }

  // Copies the write-ahead log into the database and truncates it, so that
  // after a bulk write the log is not left as large as the database (every
  // later reader would search it). Best effort: false when a reader holds
  // the log, which then stays until a later checkpoint.
  bool CheckpointTruncate();
  long long LastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }
  int Changes() const { return sqlite3_changes(db_); }

  // Logs the connection's last error with the given context.
  void LogError(const char* what) const;

  // True while the path still names the file this connection opened.
  bool StillAtPath() const;

  // Makes closing touch nothing by name: no checkpoint and no removal of
  // the -wal and -shm files, which may belong to another database by now.
  void ForgetPath();

 private:
  friend class Statement;
  Connection(sqlite3* db, std::string path);
  static std::unique_ptr<Connection> OpenOrDescribe(const std::string& path, OpenMode mode,
                                                    std::string* error);

  struct CachedStatement {
    sqlite3_stmt* stmt = nullptr;
    bool in_use = false;
  };

  sqlite3* db_;
  std::string path_;
  dev_t dev_ = 0;  // the file opened, to notice a replacement
  ino_t ino_ = 0;
  // Looked up by the SQL text without copying it (std::less<>): the bulk
  // writers prepare a cached statement per row.
  std::map<std::string, CachedStatement, std::less<>> cache_;
};

// A write transaction: BEGIN IMMEDIATE at construction so that writers queue
// on the busy timeout instead of failing half-way; rolled back unless
// Commit() succeeded.
class Transaction {
 public:
  explicit Transaction(Connection* conn);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return begun_; }
  // False also when the database file was deleted or replaced while the
  // transaction ran: what it wrote is then in a file nobody will read.
  bool Commit();

 private:
  Connection* conn_;
  bool begun_ = false;
  bool done_ = false;
};

// A read transaction around the queries of one listing, so that a page and
// its parts come from one snapshot (and the locks are taken once, not per
// statement). Does nothing inside a transaction that is already open.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Connection* conn);
  ~ReadSnapshot();
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  Connection* conn_;
  bool begun_ = false;
};

// "?,?,?" with n placeholders (n >= 1).
std::string Placeholders(size_t n);

// The folder that holds the database file ("." for a bare name).
std::string DatabaseDir(const std::string& db_path);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_SQLITE_DB_H_
