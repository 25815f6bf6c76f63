#include "plugins/local_similar/local_similar.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <set>

#include "kinoro/root.h"

namespace kinoro_local_similar {
namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

// Credit roles as the database stores them.
constexpr int kRoleActor = 1;
constexpr int kRoleDirector = 2;

// One row per candidate movie with its score. Each shared item counts once
// per candidate, however many copies of the given movie (one per library)
// list it, and the copies themselves are never candidates.
constexpr char kSimilarSql[] = R"sql(
WITH src(mapper_id) AS (SELECT mapper_id FROM movie WHERE tmdb_id = ?1),
shared(mapper_id, weight) AS (
  SELECT mapper_id, ?2 FROM (
    SELECT DISTINCT mapper_id, genre_id FROM video_genre
    WHERE genre_id IN (SELECT genre_id FROM video_genre WHERE mapper_id IN src))
  UNION ALL
  SELECT mapper_id, ?3 FROM (
    SELECT DISTINCT mapper_id, tag_id FROM video_tag
    WHERE tag_id IN (SELECT tag_id FROM video_tag WHERE mapper_id IN src))
  UNION ALL
  SELECT mapper_id, ?4 FROM (
    SELECT DISTINCT mapper_id, person_id FROM credit
    WHERE role = ?7 AND person_id IN (
      SELECT person_id FROM credit WHERE role = ?7 AND mapper_id IN src))
  UNION ALL
  SELECT mapper_id, ?5 FROM (
    SELECT DISTINCT mapper_id, person_id FROM credit
    WHERE role = ?8 AND person_id IN (
      SELECT person_id FROM credit WHERE role = ?8 AND mapper_id IN src))
  UNION ALL
  SELECT mapper_id, ?6 FROM (
    SELECT DISTINCT mapper_id, collection_id FROM collection_map
    WHERE collection_id IN (SELECT collection_id FROM collection_map WHERE mapper_id IN src))
),
scored(mapper_id, score) AS (SELECT mapper_id, SUM(weight) FROM shared GROUP BY mapper_id)
SELECT m.tmdb_id, m.title, m.original_available, m.summary, m.imdb_id, m.rating, s.score
FROM scored s JOIN movie m ON m.mapper_id = s.mapper_id
WHERE m.tmdb_id > 0 AND m.tmdb_id <> ?1
ORDER BY s.score DESC, m.rating DESC, m.id ASC
)sql";

std::string Text(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

// The connection and statement of the last request, kept for the next one
// in a process that serves many. No read transaction outlives a request:
// the statement is reset when it ends, so the next one sees the database as
// it is then (SQLite drops its page cache when another connection changed
// the file). A file replaced at the path (a new inode) is opened anew.
struct Kept {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt;  // finalized before the close
  std::unique_ptr<sqlite3, DbCloser> db;
};

Kept& LastConnection() {
  static Kept kept;
  return kept;
}

// Resets the statement however the request ends.
struct StmtReset {
  void operator()(sqlite3_stmt* stmt) const {
    sqlite3_clear_bindings(stmt);
    sqlite3_reset(stmt);
  }
};

}  // namespace

bool FindSimilar(const std::string& db_path, int64_t tmdb_id, size_t limit, const Weights& weights,
                 Json::Value* answer, std::string* error) {
  *answer = Json::Value(Json::arrayValue);
  Kept& kept = LastConnection();
  struct stat st = {};
  const bool same_file = stat(db_path.c_str(), &st) == 0 && kept.stmt != nullptr &&
                         kept.path == db_path && kept.dev == st.st_dev && kept.ino == st.st_ino;
  if (!same_file) {
    kept.stmt.reset();
    kept.db.reset();
    sqlite3* raw_db = nullptr;
    int rc = sqlite3_open_v2(db_path.c_str(), &raw_db, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw_db);
    if (rc != SQLITE_OK) {
      *error = "cannot open database " + db_path + ": " +
               (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
      return false;
    }
    // The package may be writing (an import); wait for it rather than fail.
    sqlite3_busy_timeout(db.get(), 3000);
    sqlite3_stmt* raw_stmt = nullptr;
    if (sqlite3_prepare_v2(db.get(), kSimilarSql, -1, &raw_stmt, nullptr) != SQLITE_OK) {
      *error = "cannot query database " + db_path + ": " + sqlite3_errmsg(db.get());
      return false;
    }
    kept.stmt.reset(raw_stmt);
    kept.db = std::move(db);
    kept.path = db_path;
    // Opened after the stat: a file replaced in between is opened again
    // next time, never kept for the wrong one.
    kept.dev = st.st_dev;
    kept.ino = st.st_ino;
  }
  sqlite3_stmt* raw_stmt = kept.stmt.get();
  std::unique_ptr<sqlite3_stmt, StmtReset> reset_at_end(raw_stmt);
  int rc = SQLITE_DONE;
  sqlite3_bind_int64(raw_stmt, 1, tmdb_id);
  sqlite3_bind_double(raw_stmt, 2, weights.genre);
  sqlite3_bind_double(raw_stmt, 3, weights.tag);
  sqlite3_bind_double(raw_stmt, 4, weights.director);
  sqlite3_bind_double(raw_stmt, 5, weights.actor);
  sqlite3_bind_double(raw_stmt, 6, weights.collection);
  sqlite3_bind_int(raw_stmt, 7, kRoleDirector);
  sqlite3_bind_int(raw_stmt, 8, kRoleActor);

  limit = std::min(limit, kMaxAnswer);
  std::set<int64_t> answered;
  while (answer->size() < limit && (rc = sqlite3_step(raw_stmt)) == SQLITE_ROW) {
    kinoro_plugins::Title title;
    title.tmdb_id = sqlite3_column_int64(raw_stmt, 0);
    // The same film in two libraries is one title; the first is the best.
    if (!answered.insert(title.tmdb_id).second) continue;
    title.title = Text(raw_stmt, 1);
    title.original_available = Text(raw_stmt, 2);
    title.summary = Text(raw_stmt, 3);
    title.imdb_id = Text(raw_stmt, 4);
    title.rating = sqlite3_column_double(raw_stmt, 5);
    title.has_rating = title.rating >= 0;  // -1: no rating
    answer->append(kinoro_plugins::TitleToJson(title));
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    *error = "cannot read database " + db_path + ": " + sqlite3_errmsg(kept.db.get());
    return false;
  }
  return true;
}

bool Answer(const kinoro_plugins::Request& request, Json::Value* answer, std::string* error) {
  *answer = Json::Value(Json::arrayValue);
  if (request.type != "movie" || request.action != "similar") {
    *error = "cannot answer " + request.action + " for type " + request.type;
    return false;
  }
  std::string db_path = KINORO_PATH("/var/packages/Kinoro/var/kinoro.db");
  const Json::Value& database = request.settings["database"];
  if (!database.isNull()) {
    if (!database.isString() || database.asString().empty()) {
      *error = "setting \"database\" is not a path";
      return false;
    }
    db_path = database.asString();
  }
  const Json::Value& id_value = request.input["tmdb_id"];
  int64_t tmdb_id = -1;
  if (!kinoro_plugins::AsInt64(id_value, &tmdb_id)) {
    *error = "\"tmdb_id\" is not an integer";
    return false;
  }
  // No movie has an id <= 0: nothing is similar to it.
  if (tmdb_id <= 0 || request.limit == 0) return true;
  const size_t limit = static_cast<size_t>(std::min<uint64_t>(request.limit, kMaxAnswer));
  return FindSimilar(db_path, tmdb_id, limit, Weights(), answer, error);
}

}  // namespace kinoro_local_similar
