// User directory: a read-only view of the users table that the HTTP host
// keeps.
#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>

#include "kinoro/root.h"
#include "platform/services/user_config.h"
#include "velm/services.h"

namespace {

std::mutex g_db_mutex;
std::string* g_db_path = nullptr;  // null: the root's default

std::string DatabasePath() {
  std::lock_guard<std::mutex> lock(g_db_mutex);
  return g_db_path ? *g_db_path : std::string(KINORO_PATH("/etc/velm/users.db"));
}

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using ScopedDb = std::unique_ptr<sqlite3, DbCloser>;
using ScopedStmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// How long a lookup waits for the host's writer before it gives up.
constexpr int kBusyTimeoutMs = 2000;

}  // namespace

void VelmUserSetDatabasePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_db_mutex);
  delete g_db_path;
  g_db_path = path.empty() ? nullptr : new std::string(path);
}

namespace libkr {

VelmUser::VelmUser(unsigned int uid) : uid_(uid), exists_(false), is_admin_(false) {
  sqlite3* raw = nullptr;
  // Read only and without SQLITE_OPEN_CREATE: a missing directory must not
  // be created by a lookup.
  int rc = sqlite3_open_v2(DatabasePath().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  ScopedDb db(raw);
  if (rc != SQLITE_OK) return;
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);

  sqlite3_stmt* raw_stmt = nullptr;
  rc = sqlite3_prepare_v2(db.get(), "SELECT name, is_admin FROM users WHERE uid = ?1", -1,
                          &raw_stmt, nullptr);
  ScopedStmt stmt(raw_stmt);
  if (rc != SQLITE_OK) return;
  sqlite3_bind_int64(stmt.get(), 1, static_cast<sqlite3_int64>(uid));
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return;
  const unsigned char* name = sqlite3_column_text(stmt.get(), 0);
  if (name == nullptr) return;
  name_ = reinterpret_cast<const char*>(name);
  is_admin_ = sqlite3_column_int(stmt.get(), 1) != 0;
  exists_ = true;
}

VelmUser::~VelmUser() = default;

}  // namespace libkr
