#include "platform/videodb/export.h"

#include <syslog.h>

#include <algorithm>
#include <string>

#include "libkinoro/records.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/schema.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

struct Kind {
  const char* name;  // as requests name it
  const char* type;  // as the export names it
  const char* table;
  int mapper_type;
};
const Kind kKinds[] = {
    {"movie", "movie", "movie", VIDEO_TYPE_MOVIE},
    {"tvshow", "tvshow", "tvshow", VIDEO_TYPE_TVSHOW},
    {"tvshow_episode", "tvshow_episode", "tvshow_episode", VIDEO_TYPE_TVSHOW_EPISODE},
    {"episode", "tvshow_episode", "tvshow_episode", VIDEO_TYPE_TVSHOW_EPISODE},
    {"home_video", "home_video", "home_video", VIDEO_TYPE_HOME_VIDEO},
    {"video", "home_video", "home_video", VIDEO_TYPE_HOME_VIDEO},
};

// Every table has these; the others are the kind's own.
const char* const kTextColumns[] = {"title", "sort_title", "original_available", "summary",
                                    "certificate"};

void PutText(Json::Value* meta, const char* key, const std::string& text) {
  if (!text.empty()) (*meta)[key] = text;
}

// The names linked to the video in `sql` (one text column, in order).
bool PutNames(Connection* conn, const char* sql, long long mapper_id, int role, Json::Value* meta,
              const char* key) {
  Statement stmt = conn->Prepare(sql);
  stmt.Bind(1, mapper_id);
  if (role > 0) stmt.Bind(2, role);
  Json::Value names(Json::arrayValue);
  while (stmt.Step()) names.append(stmt.ColumnText(0));
  if (stmt.failed()) return false;
  if (!names.empty()) (*meta)[key] = names;
  return true;
}

bool PutParts(Connection* conn, long long mapper_id, Json::Value* meta) {
  const char* const kCredits =
      "SELECT p.name FROM credit c JOIN person p ON p.id = c.person_id "
      "WHERE c.mapper_id = ?1 AND c.role = ?2 ORDER BY c.position";
  if (!PutNames(conn, kCredits, mapper_id, kRoleActor, meta, "actors") ||
      !PutNames(conn, kCredits, mapper_id, kRoleDirector, meta, "directors") ||
      !PutNames(conn, kCredits, mapper_id, kRoleWriter, meta, "writers") ||
      !PutNames(conn,
                "SELECT g.name FROM video_genre v JOIN genre g ON g.id = v.genre_id "
                "WHERE v.mapper_id = ?1 ORDER BY v.position",
                mapper_id, 0, meta, "genres") ||
      !PutNames(conn,
                "SELECT t.name FROM video_tag v JOIN tag t ON t.id = v.tag_id "
                "WHERE v.mapper_id = ?1 ORDER BY v.position",
                mapper_id, 0, meta, "tags")) {
    return false;
  }
  Statement collection = conn->Prepare(
      "SELECT c.title FROM collection_map m JOIN collection c ON c.id = m.collection_id "
      "WHERE m.mapper_id = ?1 ORDER BY c.id LIMIT 1");
  collection.Bind(1, mapper_id);
  if (collection.Step()) PutText(meta, "collection", collection.ColumnText(0));
  return !collection.failed();
}

bool PutFiles(Connection* conn, const char* sql, long long id, std::vector<std::string>* files) {
  Statement stmt = conn->Prepare(sql);
  stmt.Bind(1, id);
  while (stmt.Step()) files->push_back(stmt.ColumnText(0));
  return !stmt.failed();
}

bool PutBackdrops(Connection* conn, long long mapper_id, std::vector<std::string>* backdrops) {
  Statement stmt =
      conn->Prepare("SELECT image, file FROM backdrop WHERE mapper_id = ?1 ORDER BY id");
  stmt.Bind(1, mapper_id);
  const ImageStore store(conn->path());
  while (stmt.Step()) {
    std::string bytes = stmt.ColumnBlob(0);
    if (!stmt.ColumnIsNull(1) && !store.Read(stmt.ColumnText(1), &bytes)) {
      syslog(LOG_ERR, "%s:%d cannot read backdrop image %s", "export", __LINE__,
             stmt.ColumnText(1).c_str());
      return false;
    }
    backdrops->push_back(std::move(bytes));
  }
  return !stmt.failed();
}

}  // namespace

ExportResult ExportVideo(Connection* conn, const std::string& type, long long id,
                         VideoExport* out) {
  const Kind* kind = nullptr;
  for (const Kind& k : kKinds) {
    if (type == k.name) kind = &k;
  }
  if (kind == nullptr || id <= 0) return ExportResult::kNoVideo;
  if (conn == nullptr) return ExportResult::kFailed;
  *out = VideoExport();
  out->type = kind->type;
  ReadSnapshot snapshot(conn);

  const std::string table = kind->table;
  const bool movie = table == "movie", episode = table == "tvshow_episode";
  std::string columns = "mapper_id, rating";
  for (const char* column : kTextColumns) columns += std::string(", ") + column;
  if (movie) columns += ", tagline, tmdb_id, imdb_id";
  if (episode) columns += ", season, episode, tvshow_id";
  const std::string sql = "SELECT " + columns + " FROM " + table + " WHERE id = ?1";
  Statement video = conn->Prepare(sql.c_str());
  video.Bind(1, id);
  if (!video.Step()) return video.failed() ? ExportResult::kFailed : ExportResult::kNoVideo;
  const long long mapper_id = video.ColumnInt64(0);
  Json::Value& meta = out->meta;
  if (video.ColumnDouble(1) >= 0) meta["rating"] = video.ColumnDouble(1);
  int col = 2;
  for (const char* column : kTextColumns) PutText(&meta, column, video.ColumnText(col++));
  long long tvshow_id = 0;
  if (movie) {
    PutText(&meta, "tagline", video.ColumnText(col++));
    const long long tmdb_id = video.ColumnInt64(col++);
    if (tmdb_id >= 0) meta["tmdb_id"] = static_cast<Json::Int64>(tmdb_id);
    PutText(&meta, "imdb_id", video.ColumnText(col++));
  }
  if (episode) {
    meta["season"] = video.ColumnInt(col++);
    meta["episode"] = video.ColumnInt(col++);
    tvshow_id = video.ColumnInt64(col++);
    Statement show = conn->Prepare("SELECT title, original_available FROM tvshow WHERE id = ?1");
    show.Bind(1, tvshow_id);
    if (show.Step()) {
      PutText(&meta["tvshow"], "title", show.ColumnText(0));
      PutText(&meta["tvshow"], "original_available", show.ColumnText(1));
    }
    if (show.failed()) return ExportResult::kFailed;
  }
  if (!PutParts(conn, mapper_id, &meta) || !PutBackdrops(conn, mapper_id, &out->backdrops)) {
    return ExportResult::kFailed;
  }
  // What only the file's name said stays out: a sidecar holds what a person
  // or a metadata source gave, and a renamed file can still correct the rest.
  Statement from_name = conn->Prepare("SELECT from_name FROM mapper WHERE id = ?1");
  from_name.Bind(1, mapper_id);
  if (!from_name.Step()) return ExportResult::kFailed;
  const std::string names = from_name.ColumnText(0);
  for (size_t start = 0; start < names.size();) {
    const size_t comma = std::min(names.find(',', start), names.size());
    meta.removeMember(names.substr(start, comma - start));
    start = comma + 1;
  }
  const bool files_ok =
      table == "tvshow"
          ? PutFiles(conn,
                     "SELECT f.path FROM tvshow_episode e JOIN video_file f "
                     "ON f.mapper_id = e.mapper_id WHERE e.tvshow_id = ?1 ORDER BY f.id",
                     id, &out->files)
          : PutFiles(conn, "SELECT path FROM video_file WHERE mapper_id = ?1 ORDER BY id",
                     mapper_id, &out->files);
  return files_ok ? ExportResult::kDone : ExportResult::kFailed;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
