#include "plugins/local_similar/local_similar.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

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

// What a movie shares with others: each row is one (video, item) pair of a
// kind, every pair once. Credits are split by role, so that an actor who
// also directed counts as each where he did.
constexpr int kKinds = 5;  // genre, tag, director, actor, collection
const char* const kFeatureSql[kKinds] = {
    "SELECT DISTINCT mapper_id, genre_id FROM video_genre",
    "SELECT DISTINCT mapper_id, tag_id FROM video_tag",
    "SELECT DISTINCT mapper_id, person_id FROM credit WHERE role = 2",  // kRoleDirector
    "SELECT DISTINCT mapper_id, person_id FROM credit WHERE role = 1",  // kRoleActor
    "SELECT DISTINCT mapper_id, collection_id FROM collection_map",
};
static_assert(kRoleDirector == 2 && kRoleActor == 1, "the feature queries name the roles");

std::string Text(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

// The database's movies and what they share, in memory: a lookup scores
// the candidates in a few microseconds where the same work in SQL took
// milliseconds on a library of 10,000 films, most of which share a genre.
// Rebuilt whenever another connection has written (PRAGMA data_version).
struct Index {
  struct Movie {
    int64_t id = 0;
    int64_t tmdb_id = 0;
    double rating = -1;
  };
  std::vector<Movie> movies;  // by row
  std::unordered_map<int64_t, std::vector<int32_t>> rows_by_tmdb;
  // Per kind: the items of each video, and the movie rows of each item.
  std::unordered_map<int64_t, std::vector<int64_t>> items[kKinds];    // mapper id -> items
  std::unordered_map<int64_t, std::vector<int32_t>> holders[kKinds];  // item -> movie rows
  std::vector<int64_t> mapper_of_row;
};

bool Query(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row,
           std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt(raw);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

// Reads the index in one read transaction, so that it is one snapshot.
bool LoadIndex(sqlite3* db, Index* index, std::string* error) {
  *index = Index();
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  std::unordered_map<int64_t, int32_t> row_of_mapper;
  bool ok = Query(
      db, "SELECT id, mapper_id, tmdb_id, rating FROM movie",
      [&](sqlite3_stmt* stmt) {
        Index::Movie movie;
        movie.id = sqlite3_column_int64(stmt, 0);
        movie.tmdb_id = sqlite3_column_int64(stmt, 2);
        movie.rating = sqlite3_column_double(stmt, 3);
        const int32_t row = static_cast<int32_t>(index->movies.size());
        row_of_mapper[sqlite3_column_int64(stmt, 1)] = row;
        index->mapper_of_row.push_back(sqlite3_column_int64(stmt, 1));
        index->rows_by_tmdb[movie.tmdb_id].push_back(row);
        index->movies.push_back(movie);
      },
      error);
  for (int kind = 0; ok && kind < kKinds; ++kind) {
    ok = Query(
        db, kFeatureSql[kind],
        [&](sqlite3_stmt* stmt) {
          const int64_t mapper_id = sqlite3_column_int64(stmt, 0);
          const int64_t item = sqlite3_column_int64(stmt, 1);
          auto row = row_of_mapper.find(mapper_id);
          // Only movies are ever asked about or answered.
          if (row == row_of_mapper.end()) return;
          index->items[kind][mapper_id].push_back(item);
          index->holders[kind][item].push_back(row->second);
        },
        error);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return ok;
}

// The connection and index of the last request, kept for the next one in a
// process that serves many. The index is read again when the database has
// changed since (another connection wrote: data_version moved), and a file
// replaced at the path (a new inode) is opened anew, so a warm process
// answers as a fresh one would.
struct Kept {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  std::unique_ptr<sqlite3, DbCloser> db;
  int64_t data_version = -1;
  Index index;
};

Kept& LastConnection() {
  static Kept kept;
  return kept;
}

int64_t DataVersion(sqlite3* db) {
  int64_t version = -1;
  std::string ignored;
  Query(
      db, "PRAGMA data_version",
      [&](sqlite3_stmt* stmt) { version = sqlite3_column_int64(stmt, 0); }, &ignored);
  return version;
}

}  // namespace

bool FindSimilar(const std::string& db_path, int64_t tmdb_id, size_t limit, const Weights& weights,
                 Json::Value* answer, std::string* error) {
  *answer = Json::Value(Json::arrayValue);
  Kept& kept = LastConnection();
  struct stat st = {};
  const bool same_file = stat(db_path.c_str(), &st) == 0 && kept.db != nullptr &&
                         kept.path == db_path && kept.dev == st.st_dev && kept.ino == st.st_ino;
  if (!same_file) {
    kept.db.reset();
    kept.data_version = -1;
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
    kept.db = std::move(db);
    kept.path = db_path;
    // Opened after the stat: a file replaced in between is opened again
    // next time, never kept for the wrong one.
    kept.dev = st.st_dev;
    kept.ino = st.st_ino;
  }
  const int64_t version = DataVersion(kept.db.get());
  if (version < 0 || version != kept.data_version) {
    std::string why;
    if (!LoadIndex(kept.db.get(), &kept.index, &why)) {
      kept.data_version = -1;
      *error = "cannot query database " + db_path + ": " + why;
      return false;
    }
    kept.data_version = version;
  }
  const Index& index = kept.index;
  auto source = index.rows_by_tmdb.find(tmdb_id);
  if (source == index.rows_by_tmdb.end()) return true;

  // Each item counts once per candidate, however many copies of the movie
  // (one per library) list it; the copies themselves are never candidates.
  const double weight[kKinds] = {weights.genre, weights.tag, weights.director, weights.actor,
                                 weights.collection};
  std::unordered_map<int32_t, double> score;
  for (int kind = 0; kind < kKinds; ++kind) {
    std::set<int64_t> shared;
    for (int32_t row : source->second) {
      auto items = index.items[kind].find(index.mapper_of_row[row]);
      if (items != index.items[kind].end())
        shared.insert(items->second.begin(), items->second.end());
    }
    for (int64_t item : shared) {
      for (int32_t row : index.holders[kind].at(item)) score[row] += weight[kind];
    }
  }
  std::vector<std::pair<double, int32_t>> ranked;
  for (const auto& [row, value] : score) {
    const Index::Movie& movie = index.movies[row];
    if (movie.tmdb_id > 0 && movie.tmdb_id != tmdb_id) ranked.emplace_back(value, row);
  }
  auto better = [&](const std::pair<double, int32_t>& a, const std::pair<double, int32_t>& b) {
    if (a.first != b.first) return a.first > b.first;
    const Index::Movie& x = index.movies[a.second];
    const Index::Movie& y = index.movies[b.second];
    if (x.rating != y.rating) return x.rating > y.rating;
    return x.id < y.id;
  };
  std::sort(ranked.begin(), ranked.end(), better);

  limit = std::min(limit, kMaxAnswer);
  sqlite3_stmt* raw_stmt = nullptr;
  if (sqlite3_prepare_v2(kept.db.get(),
                         "SELECT title, original_available, summary, imdb_id FROM movie "
                         "WHERE id = ?1",
                         -1, &raw_stmt, nullptr) != SQLITE_OK) {
    *error = "cannot query database " + db_path + ": " + sqlite3_errmsg(kept.db.get());
    return false;
  }
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt(raw_stmt);
  std::set<int64_t> answered;
  for (size_t i = 0; i < ranked.size() && answer->size() < limit; ++i) {
    const Index::Movie& movie = index.movies[ranked[i].second];
    // The same film in two libraries is one title; the first is the best.
    if (!answered.insert(movie.tmdb_id).second) continue;
    sqlite3_reset(raw_stmt);
    sqlite3_bind_int64(raw_stmt, 1, movie.id);
    const int rc = sqlite3_step(raw_stmt);
    if (rc != SQLITE_ROW) {
      // Gone since the index was read: the next request reads it again.
      if (rc == SQLITE_DONE) continue;
      *error = "cannot read database " + db_path + ": " + sqlite3_errmsg(kept.db.get());
      return false;
    }
    kinoro_plugins::Title title;
    title.tmdb_id = movie.tmdb_id;
    title.title = Text(raw_stmt, 0);
    title.original_available = Text(raw_stmt, 1);
    title.summary = Text(raw_stmt, 2);
    title.imdb_id = Text(raw_stmt, 3);
    title.rating = movie.rating;
    title.has_rating = title.rating >= 0;  // -1: no rating
    answer->append(kinoro_plugins::TitleToJson(title));
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
