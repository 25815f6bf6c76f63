#include "platform/videodb/library_admin.h"

#include <map>

#include "libkinoro/records.h"
#include "libkinoro/util.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// Videos removed per transaction by DeleteLibrary.
constexpr size_t kDeleteBatch = 200;

bool CollectFiles(Connection* conn, const char* sql, long long mapper_id,
                  std::vector<std::string>* files) {
  Statement stmt = conn->Prepare(sql);
  stmt.Bind(1, mapper_id);
  while (stmt.Step()) files->push_back(stmt.ColumnText(0));
  return !stmt.failed();
}

bool DeleteOne(Connection* conn, long long mapper_id, std::vector<std::string>* image_files) {
  Statement type = conn->Prepare("SELECT type FROM mapper WHERE id = ?1");
  type.Bind(1, mapper_id);
  if (!type.Step()) return !type.failed();  // already gone
  const std::string table = VideoTypeGetName(static_cast<_VIDEO_TYPE_>(type.ColumnInt(0)));
  if (table.empty()) return false;

  if (!CollectFiles(conn, "SELECT file FROM backdrop WHERE mapper_id = ?1 AND file IS NOT NULL",
                    mapper_id, image_files) ||
      !CollectFiles(conn, "SELECT file FROM poster WHERE mapper_id = ?1 AND file IS NOT NULL",
                    mapper_id, image_files)) {
    return false;
  }
  // Conversion tasks of the video's files go first: they name the files,
  // and their produced files are named by them.
  std::vector<long long> produced;
  {
    Statement stmt = conn->Prepare(
        "SELECT produced_file_id FROM conversion_task WHERE produced_file_id IS NOT NULL AND "
        "file_id IN (SELECT id FROM video_file WHERE mapper_id = ?1)");
    stmt.Bind(1, mapper_id);
    while (stmt.Step()) produced.push_back(stmt.ColumnInt64(0));
    if (stmt.failed()) return false;
  }
  Statement tasks = conn->Prepare(
      "DELETE FROM conversion_task WHERE file_id IN "
      "(SELECT id FROM video_file WHERE mapper_id = ?1)");
  tasks.Bind(1, mapper_id);
  if (!tasks.Run()) return false;
  if (!produced.empty()) {
    Statement drop =
        conn->Prepare("DELETE FROM produced_file WHERE id IN (SELECT value FROM json_each(?1))");
    drop.Bind(1, JsonIdList(produced));
    if (!drop.Run()) return false;
  }
  static const char* const kParts[] = {
      "DELETE FROM video_file WHERE mapper_id = ?1",
      "DELETE FROM credit WHERE mapper_id = ?1",
      "DELETE FROM video_genre WHERE mapper_id = ?1",
      "DELETE FROM video_tag WHERE mapper_id = ?1",
      "DELETE FROM collection_map WHERE mapper_id = ?1",
      "DELETE FROM poster WHERE mapper_id = ?1",
      "DELETE FROM backdrop WHERE mapper_id = ?1",
      "DELETE FROM watch_status WHERE mapper_id = ?1",
  };
  for (const char* sql : kParts) {
    Statement stmt = conn->Prepare(sql);
    stmt.Bind(1, mapper_id);
    if (!stmt.Run()) return false;
  }
  const std::string sql = std::string("DELETE FROM ") + table + " WHERE mapper_id = ?1";
  Statement video = conn->Prepare(sql.c_str());
  video.Bind(1, mapper_id);
  if (!video.Run()) return false;
  Statement mapper = conn->Prepare("DELETE FROM mapper WHERE id = ?1");
  mapper.Bind(1, mapper_id);
  return mapper.Run();
}

}  // namespace

bool IsSharePathForm(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  if (path.find('\0') != std::string::npos) return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = slash + 1;
  }
  return true;
}

bool AddLibrary(Connection* conn, LibraryRecord* library, std::string* error) {
  if (library->type != "movie" && library->type != "tvshow" && library->type != "home_video") {
    *error = "unknown library type " + library->type;
    return false;
  }
  for (const std::string& path : library->paths) {
    if (!IsSharePathForm(path)) {
      *error = "not a share path such as /media/films: " + path;
      return false;
    }
  }
  Transaction txn(conn);
  if (!txn.ok()) {
    *error = "the database is busy";
    return false;
  }
  Statement add = conn->Prepare(
      "INSERT INTO library (title, type, is_public, create_time) VALUES (?1, ?2, ?3, ?4)");
  add.Bind(1, library->title).Bind(2, library->type).Bind(3, library->is_public ? 1 : 0);
  add.Bind(4, NowSeconds());
  bool ok = add.Run();
  library->id = conn->LastInsertRowId();
  for (unsigned int uid : library->users) {
    Statement user =
        conn->Prepare("INSERT OR IGNORE INTO library_user (uid, library_id) VALUES (?1, ?2)");
    user.Bind(1, static_cast<long long>(uid)).Bind(2, library->id);
    ok = ok && user.Run();
  }
  for (const std::string& path : library->paths) {
    Statement folder =
        conn->Prepare("INSERT OR IGNORE INTO library_path (library_id, path) VALUES (?1, ?2)");
    folder.Bind(1, library->id).Bind(2, path);
    ok = ok && folder.Run();
  }
  if (!ok || !txn.Commit()) {
    *error = sqlite3_errmsg(conn->handle());
    return false;
  }
  return true;
}

bool ListLibraries(Connection* conn, std::vector<LibraryRecord>* out) {
  ReadSnapshot snapshot(conn);
  std::map<long long, size_t> index_of;
  Statement stmt = conn->Prepare("SELECT id, title, type, is_public FROM library ORDER BY id");
  while (stmt.Step()) {
    LibraryRecord library;
    library.id = stmt.ColumnInt64(0);
    library.title = stmt.ColumnText(1);
    library.type = stmt.ColumnText(2);
    library.is_public = stmt.ColumnInt(3) != 0;
    index_of[library.id] = out->size();
    out->push_back(std::move(library));
  }
  if (stmt.failed()) return false;
  Statement users = conn->Prepare("SELECT library_id, uid FROM library_user ORDER BY uid");
  while (users.Step()) {
    auto it = index_of.find(users.ColumnInt64(0));
    if (it != index_of.end()) {
      (*out)[it->second].users.push_back(static_cast<unsigned int>(users.ColumnInt64(1)));
    }
  }
  Statement paths = conn->Prepare("SELECT library_id, path FROM library_path ORDER BY path");
  while (paths.Step()) {
    auto it = index_of.find(paths.ColumnInt64(0));
    if (it != index_of.end()) (*out)[it->second].paths.push_back(paths.ColumnText(1));
  }
  return !users.failed() && !paths.failed();
}

bool DeleteVideos(Connection* conn, const std::vector<long long>& mapper_ids,
                  std::vector<std::string>* image_files) {
  for (long long mapper_id : mapper_ids) {
    // A show's episodes first: their rows name the show.
    std::vector<long long> episodes;
    Statement stmt = conn->Prepare(
        "SELECT e.mapper_id FROM tvshow_episode e JOIN tvshow s ON s.id = e.tvshow_id "
        "WHERE s.mapper_id = ?1");
    stmt.Bind(1, mapper_id);
    while (stmt.Step()) episodes.push_back(stmt.ColumnInt64(0));
    if (stmt.failed()) return false;
    for (long long episode : episodes) {
      if (!DeleteOne(conn, episode, image_files)) return false;
    }
    if (!DeleteOne(conn, mapper_id, image_files)) return false;
  }
  return true;
}

void RemoveImageFiles(Connection* conn, const std::vector<std::string>& image_files) {
  ImageStore store(conn->path());
  for (const std::string& file : image_files) store.RemoveIfUnreferenced(conn, file);
}

bool DeleteLibrary(Connection* conn, long long id, long long* removed, std::string* error) {
  *removed = 0;
  {
    Statement exists = conn->Prepare("SELECT 1 FROM library WHERE id = ?1");
    exists.Bind(1, id);
    if (!exists.Step()) {
      *error =
          exists.failed() ? sqlite3_errmsg(conn->handle()) : "no library " + std::to_string(id);
      return false;
    }
  }
  for (;;) {
    std::vector<std::string> image_files;
    Transaction txn(conn);
    if (!txn.ok()) {
      *error = "the database is busy";
      return false;
    }
    // Episodes are taken with their show, so shows and the other kinds are
    // listed; episodes of a show in another library cannot exist.
    std::vector<long long> batch;
    Statement stmt = conn->Prepare(
        "SELECT id FROM mapper WHERE library_id = ?1 ORDER BY type = 3 DESC, id LIMIT ?2");
    stmt.Bind(1, id).Bind(2, static_cast<long long>(kDeleteBatch));
    while (stmt.Step()) batch.push_back(stmt.ColumnInt64(0));
    if (stmt.failed()) {
      *error = sqlite3_errmsg(conn->handle());
      return false;
    }
    bool ok = true;
    if (batch.empty()) {
      Statement drop = conn->Prepare("DELETE FROM library WHERE id = ?1");
      drop.Bind(1, id);
      ok = drop.Run();
    } else {
      ok = DeleteVideos(conn, batch, &image_files);
    }
    if (!ok || !txn.Commit()) {
      *error = sqlite3_errmsg(conn->handle());
      return false;
    }
    RemoveImageFiles(conn, image_files);
    if (batch.empty()) return true;
    *removed += static_cast<long long>(batch.size());
  }
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
