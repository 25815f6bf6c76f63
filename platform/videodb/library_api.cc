// LibraryAPI and the constructors of the access objects. Constructing an
// access object never touches the database: the module's unit tests make
// them freely, and the connection opens on the first query.
#include <map>

#include "libkinoro/api.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace api {

using internal::Connection;
using internal::Statement;

BaseAPI::BaseAPI() = default;
BaseAPI::~BaseAPI() = default;

LibraryAPI::LibraryAPI() = default;
LibraryAPI::~LibraryAPI() = default;

void LibraryAPI::AsUser(unsigned int user, bool admin) {
  uid = user;
  is_admin = admin;
}

std::vector<record::Library> LibraryAPI::ListOrderByVideoCTime() const {
  std::vector<record::Library> out;
  Connection* conn = Connection::Get();
  if (conn == nullptr) return out;
  internal::ReadSnapshot snapshot(conn);
  // The newest creation time per library is one descent of the
  // (library_id, create_time) index of the mapper table.
  Statement stmt = conn->Prepare(
      "SELECT l.id, l.title, l.type, l.is_public, l.create_time, "
      "       (SELECT MAX(m.create_time) FROM mapper m WHERE m.library_id = l.id) AS newest "
      "FROM library l "
      "WHERE ?1 OR l.is_public OR l.id IN (SELECT library_id FROM library_user WHERE uid = ?2) "
      "ORDER BY newest IS NULL, newest DESC, l.id");
  stmt.Bind(1, is_admin ? 1 : 0).Bind(2, static_cast<long long>(uid));
  std::map<int, size_t> index_of;
  while (stmt.Step()) {
    record::Library library;
    library.id = stmt.ColumnInt(0);
    library.title = stmt.ColumnText(1);
    library.type = stmt.ColumnText(2);
    library.is_public = stmt.ColumnInt(3) != 0;
    library.create_time = internal::FormatTime(stmt.ColumnInt64(4));
    index_of[library.id] = out.size();
    out.push_back(std::move(library));
  }
  if (stmt.failed()) return {};
  if (out.empty()) return out;

  std::vector<int> ids;
  for (const auto& entry : index_of) ids.push_back(entry.first);
  Statement users = conn->Prepare(
      "SELECT library_id, uid FROM library_user "
      "WHERE library_id IN (SELECT value FROM json_each(?1)) ORDER BY library_id, uid");
  users.Bind(1, internal::JsonIdList(ids));
  while (users.Step()) {
    out[index_of[users.ColumnInt(0)]].users.push_back(
        static_cast<unsigned int>(users.ColumnInt64(1)));
  }
  if (users.failed()) return {};
  return out;
}

AbstractVideoAPI::AbstractVideoAPI() = default;
AbstractVideoAPI::~AbstractVideoAPI() = default;

BaseVideoAPI::BaseVideoAPI() = default;
BaseVideoAPI::~BaseVideoAPI() = default;

BaseVideoAPI& BaseVideoAPI::WithCoverRule(const std::string& rule) {
  cover_rule_ = rule;
  return *this;
}

VideoAPI::VideoAPI() = default;
VideoAPI::~VideoAPI() = default;

EpisodeAPI::EpisodeAPI() = default;
EpisodeAPI::~EpisodeAPI() = default;

MovieAPI::MovieAPI() = default;
MovieAPI::~MovieAPI() = default;

CollectionAPI::CollectionAPI() = default;
CollectionAPI::~CollectionAPI() = default;

BackdropAPI::BackdropAPI() = default;
BackdropAPI::~BackdropAPI() = default;

OfflineConversionAPI::OfflineConversionAPI(unsigned int scope_uid)
    : scope_uid_(scope_uid), order_(SORT_ASC) {
  uid = scope_uid;
}
OfflineConversionAPI::~OfflineConversionAPI() = default;

void OfflineConversionAPI::OrderByCtime(BaseAPI::SortOrder order) { order_ = order; }

}  // namespace api
}  // namespace db
}  // namespace LibKinoro
