#include "platform/videodb/scope.h"

#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

bool VisibleLibraryIds(Connection* conn, bool is_admin, unsigned int uid, std::vector<int>* ids) {
  ids->clear();
  Statement stmt = conn->Prepare(
      "SELECT id FROM library WHERE ?1 OR is_public "
      "OR id IN (SELECT library_id FROM library_user WHERE uid = ?2) ORDER BY id");
  stmt.Bind(1, is_admin ? 1 : 0).Bind(2, static_cast<long long>(uid));
  while (stmt.Step()) ids->push_back(stmt.ColumnInt(0));
  return !stmt.failed();
}

bool LibraryVisible(Connection* conn, bool is_admin, unsigned int uid, int library_id,
                    bool* visible) {
  Statement stmt = conn->Prepare(
      "SELECT ?1 OR EXISTS (SELECT 1 FROM library WHERE id = ?3 AND is_public) "
      "OR EXISTS (SELECT 1 FROM library_user WHERE library_id = ?3 AND uid = ?2)");
  stmt.Bind(1, is_admin ? 1 : 0).Bind(2, static_cast<long long>(uid)).Bind(3, library_id);
  if (!stmt.Step()) return false;
  *visible = stmt.ColumnInt(0) != 0;
  return true;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
