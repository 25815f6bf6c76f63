// MovieAPI: movie queries within the user's visible libraries, with the
// optional parts loaded for the whole page at once.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "libkinoro/api.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/scope.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/video_parts.h"

namespace LibKinoro {
namespace db {
namespace api {

using internal::Connection;
using internal::Statement;

namespace {

#define KINORO_MOVIE_COLUMNS                                                       \
  "m.id, m.mapper_id, m.library_id, m.title, m.sort_title, m.original_available, " \
  "m.tmdb_id, m.imdb_id, m.rating, m.summary, m.tagline, m.certificate, m.create_time"

struct MovieRow {
  record::Movie movie;
  std::string summary;
  std::string tagline;
  long long create_time = 0;
};

MovieRow ReadMovie(const Statement& stmt) {
  MovieRow row;
  record::Movie& m = row.movie;
  m.id = stmt.ColumnInt(0);
  m.mapper_id = stmt.ColumnInt(1);
  m.library_id = stmt.ColumnInt(2);
  m.title = stmt.ColumnText(3);
  m.sort_title = stmt.ColumnText(4);
  m.original_available = stmt.ColumnText(5);
  m.tmdb_id = stmt.ColumnInt64(6);
  m.imdb_id = stmt.ColumnText(7);
  m.rating = stmt.ColumnDouble(8);
  row.summary = stmt.ColumnText(9);
  row.tagline = stmt.ColumnText(10);
  m.certificate = stmt.ColumnText(11);
  row.create_time = stmt.ColumnInt64(12);
  m.create_time = internal::FormatTime(row.create_time);
  return row;
}

internal::PartSwitches Switches(const MovieAPI& api) {
  internal::PartSwitches parts;
  parts.summary = api.with_summary;
  parts.poster_mtime = api.with_poster_mtime;
  parts.backdrop_mtime = api.with_backdrop_mtime;
  parts.collection = api.with_collection;
  parts.file = api.with_file;
  parts.watched_ratio = api.with_watched_ratio;
  parts.conversion_produced = api.with_conversion_produced;
  parts.actor = api.with_actor;
  parts.director = api.with_director;
  parts.genre = api.with_genre;
  parts.writer = api.with_writer;
  parts.extra = api.with_extra;
  parts.cover_rule = api.cover_rule();
  parts.uid = api.uid;
  return parts;
}

// Turns rows into records with their parts; empty when the database failed.
std::vector<record::Movie> Finish(Connection* conn, const MovieAPI& api,
                                  std::vector<MovieRow>& rows) {
  std::vector<record::Movie> out;
  if (rows.empty()) return out;
  internal::PartSwitches parts = Switches(api);
  std::vector<internal::PartTarget> page;
  page.reserve(rows.size());
  for (MovieRow& row : rows) {
    Json::Value& additional = row.movie.additional;
    additional = Json::Value(Json::objectValue);
    if (parts.summary) additional["summary"] = row.summary;
    if (parts.extra) {
      Json::Value& tmdb = additional["extra"]["com.velmora.TheMovieDb"];
      tmdb["reference"]["themoviedb"] = static_cast<Json::Int64>(row.movie.tmdb_id);
      tmdb["reference"]["imdb"] = row.movie.imdb_id;
      tmdb["rating"]["themoviedb"] = row.movie.rating;
      additional["extra"]["tagline"] = row.tagline;
    }
    page.push_back({row.movie.mapper_id, &additional});
  }
  if (!internal::LoadParts(conn, parts, page)) return out;
  out.reserve(rows.size());
  for (MovieRow& row : rows) out.push_back(std::move(row.movie));
  return out;
}

bool RowsByIds(Connection* conn, const std::vector<int>& ids, std::vector<MovieRow>* rows) {
  Statement stmt = conn->Prepare("SELECT " KINORO_MOVIE_COLUMNS
                                 " FROM movie m WHERE m.id IN (SELECT value FROM json_each(?1))");
  stmt.Bind(1, internal::JsonIdList(ids));
  while (stmt.Step()) rows->push_back(ReadMovie(stmt));
  return !stmt.failed();
}

// Rating order: highest first, then newest, then the lower id.
bool RanksBefore(double rating_a, long long ctime_a, int id_a, double rating_b, long long ctime_b,
                 int id_b) {
  if (rating_a != rating_b) return rating_a > rating_b;
  if (ctime_a != ctime_b) return ctime_a > ctime_b;
  return id_a < id_b;
}

}  // namespace

std::vector<record::Movie> MovieAPI::ListTopRating(int limit) const {
  if (limit <= 0) return {};
  Connection* conn = Connection::Get();
  if (conn == nullptr) return {};
  internal::ReadSnapshot snapshot(conn);
  std::vector<int> libraries;
  if (!internal::VisibleLibraryIds(conn, is_admin, uid, &libraries)) return {};

  // Each library's best `limit` come straight off the (library_id, rating,
  // create_time, id) index; merging those lists costs libraries x limit
  // index entries whatever the size of the database.
  struct Key {
    double rating;
    long long ctime;
    int id;
  };
  std::vector<Key> keys;
  for (int library_id : libraries) {
    Statement stmt = conn->Prepare(
        "SELECT rating, create_time, id FROM movie WHERE library_id = ?1 "
        "ORDER BY rating DESC, create_time DESC, id LIMIT ?2");
    stmt.Bind(1, library_id).Bind(2, limit);
    while (stmt.Step())
      keys.push_back({stmt.ColumnDouble(0), stmt.ColumnInt64(1), stmt.ColumnInt(2)});
    if (stmt.failed()) return {};
  }
  auto before = [](const Key& a, const Key& b) {
    return RanksBefore(a.rating, a.ctime, a.id, b.rating, b.ctime, b.id);
  };
  size_t count = std::min(keys.size(), static_cast<size_t>(limit));
  std::partial_sort(keys.begin(), keys.begin() + static_cast<long>(count), keys.end(), before);
  keys.resize(count);

  std::vector<int> ids;
  for (const Key& key : keys) ids.push_back(key.id);
  std::vector<MovieRow> rows;
  if (!RowsByIds(conn, ids, &rows)) return {};
  std::sort(rows.begin(), rows.end(), [](const MovieRow& a, const MovieRow& b) {
    return RanksBefore(a.movie.rating, a.create_time, a.movie.id, b.movie.rating, b.create_time,
                       b.movie.id);
  });
  return Finish(conn, *this, rows);
}

record::Movie MovieAPI::GetInfo(int id) const {
  Connection* conn = Connection::Get();
  if (conn == nullptr || id <= 0) return record::Movie();
  internal::ReadSnapshot snapshot(conn);
  Statement stmt = conn->Prepare("SELECT " KINORO_MOVIE_COLUMNS
                                 " FROM movie m WHERE m.id = ?1 AND (?2 OR m.library_id IN "
                                 "(SELECT id FROM library WHERE is_public "
                                 " UNION SELECT library_id FROM library_user WHERE uid = ?3))");
  stmt.Bind(1, id).Bind(2, is_admin ? 1 : 0).Bind(3, static_cast<long long>(uid));
  std::vector<MovieRow> rows;
  if (stmt.Step()) rows.push_back(ReadMovie(stmt));
  if (stmt.failed() || rows.empty()) return record::Movie();
  std::vector<record::Movie> movies = Finish(conn, *this, rows);
  return movies.empty() ? record::Movie() : movies.front();
}

int MovieAPI::GetNumMoviesWithTMDbID() const {
  Connection* conn = Connection::Get();
  if (conn == nullptr) return 0;
  Statement stmt = conn->Prepare(
      "SELECT COUNT(*) FROM movie m WHERE m.tmdb_id >= 0 AND (?1 OR m.library_id IN "
      "(SELECT id FROM library WHERE is_public "
      " UNION SELECT library_id FROM library_user WHERE uid = ?2))");
  stmt.Bind(1, is_admin ? 1 : 0).Bind(2, static_cast<long long>(uid));
  if (!stmt.Step()) return 0;
  return stmt.ColumnInt(0);
}

std::vector<record::Movie> MovieAPI::ListInTMDb(const std::vector<long long>& tmdb_ids) const {
  if (tmdb_ids.empty()) return {};
  Connection* conn = Connection::Get();
  if (conn == nullptr) return {};
  internal::ReadSnapshot snapshot(conn);
  // Rank of each id by its first place in the request: the caller's order
  // (the plug-ins' similarity ranking) is the answer's order.
  std::unordered_map<long long, size_t> rank;
  std::vector<long long> unique_ids;
  for (long long tmdb_id : tmdb_ids) {
    if (rank.emplace(tmdb_id, rank.size()).second) unique_ids.push_back(tmdb_id);
  }
  Statement stmt = conn->Prepare(
      "SELECT " KINORO_MOVIE_COLUMNS
      " FROM movie m "
      "WHERE m.tmdb_id IN (SELECT value FROM json_each(?1)) AND (?2 OR m.library_id IN "
      "(SELECT id FROM library WHERE is_public "
      " UNION SELECT library_id FROM library_user WHERE uid = ?3))");
  stmt.Bind(1, internal::JsonIdList(unique_ids))
      .Bind(2, is_admin ? 1 : 0)
      .Bind(3, static_cast<long long>(uid));
  std::vector<MovieRow> rows;
  while (stmt.Step()) rows.push_back(ReadMovie(stmt));
  if (stmt.failed()) return {};
  std::sort(rows.begin(), rows.end(), [&](const MovieRow& a, const MovieRow& b) {
    size_t ra = rank[a.movie.tmdb_id], rb = rank[b.movie.tmdb_id];
    if (ra != rb) return ra < rb;
    return a.movie.id < b.movie.id;
  });
  return Finish(conn, *this, rows);
}

}  // namespace api
}  // namespace db
}  // namespace LibKinoro
