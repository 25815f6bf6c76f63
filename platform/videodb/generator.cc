#include "platform/videodb/generator.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/videodb/db_util.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/json_reader.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// SplitMix64: a fixed, portable sequence (the standard library's
// distributions may differ between implementations).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }

 private:
  uint64_t state_;
};

const char* const kWords[] = {
    "Silent", "River",  "Night", "Empire",  "Shadow", "Garden",   "Winter",  "Echo",
    "Glass",  "Harbor", "Iron",  "Last",    "Paper",  "Crimson",  "Hidden",  "Northern",
    "Broken", "Golden", "Wild",  "Distant", "Secret", "Electric", "Falling", "Lost",
};
const char* const kGenres[] = {
    "Action",          "Adventure", "Animation", "Comedy",  "Crime",     "Documentary", "Drama",
    "Family",          "Fantasy",   "History",   "Horror",  "Music",     "Mystery",     "Romance",
    "Science Fiction", "Thriller",  "War",       "Western", "Biography", "Sport",
};
const char* const kCertificates[] = {"G", "PG", "PG-13", "R", "NC-17", ""};
const char* const kTags[] = {"heist",  "time travel", "based on a novel", "sequel",
                             "remake", "cult",        "road trip",        "space"};

constexpr size_t Count(const char* const* begin, const char* const* end) {
  return static_cast<size_t>(end - begin);
}
#define KINORO_COUNT(a) Count(std::begin(a), std::end(a))

// 2000-01-01 plus up to 25 years.
constexpr long long kEpoch2000 = 946684800;

std::string Word(Rng& rng) { return kWords[rng.Below(KINORO_COUNT(kWords))]; }

// Drops the secondary indexes and returns the statements that make them
// again. Kept while a million movies go in, their random inserts (credits by
// person, movies by rating) touch pages far beyond the page cache, and the
// time per movie grows with the database; built once at the end, each is
// one sort. Those led by mapper_id stay: rows go in by mapper id, so they
// grow by appends.
bool DropIndexes(Connection* conn, std::vector<std::string>* create) {
  std::vector<std::string> names;
  Statement stmt = conn->Prepare(
      "SELECT name, sql FROM sqlite_schema AS s WHERE type = 'index' AND sql IS NOT NULL AND "
      "(SELECT name FROM pragma_index_info(s.name) WHERE seqno = 0) != 'mapper_id'");
  while (stmt.Step()) {
    names.push_back(stmt.ColumnText(0));
    create->push_back(stmt.ColumnText(1));
  }
  if (stmt.failed()) return false;
  for (const std::string& name : names) {
    if (!conn->Exec(("DROP INDEX \"" + name + "\"").c_str())) return false;
  }
  return true;
}

// The journal mode and page cache of a bulk write into an empty database,
// put back when it ends (committed or not). In WAL mode every page the cache
// lets go during the one long transaction is appended to the log, and each
// later read of a page searches a log that grows past the database's size:
// the time per movie grew with the count. A rollback journal holds only the
// pages that existed before, few in an empty database, and the pages let go
// are written in place. A larger cache keeps the random inserts into the
// person name index in memory. The database ends in WAL mode like every
// Kinoro database. Foreign keys are not enforced meanwhile: each credit and
// genre row would look its parent up at random in a table larger than the
// cache (a third of a million-movie generate), and the rows all come from the
// generator and the importer's record checks.
class BulkWriteMode {
 public:
  explicit BulkWriteMode(Connection* conn) : conn_(conn) {
    // Refused (left in WAL mode) while another connection has the file.
    Statement mode = conn_->Prepare("PRAGMA journal_mode=DELETE");
    journaled_ = mode.Step() && mode.ColumnText(0) == "delete";
    mode = Statement();
    Statement cache = conn_->Prepare("PRAGMA cache_size");
    cache_size_ = cache.Step() ? cache.ColumnInt64(0) : 0;
    cache = Statement();
    conn_->Exec("PRAGMA cache_size=-131072");
    conn_->Exec("PRAGMA foreign_keys=OFF");
  }
  ~BulkWriteMode() { Restore(); }

  // False when the database could not be put back in WAL mode.
  bool Restore() {
    if (restored_) return ok_;
    restored_ = true;
    conn_->Exec("PRAGMA foreign_keys=ON");
    if (cache_size_ != 0) {
      conn_->Exec(("PRAGMA cache_size=" + std::to_string(cache_size_)).c_str());
    }
    if (!journaled_) return ok_ = true;
    Statement mode = conn_->Prepare("PRAGMA journal_mode=WAL");
    ok_ = mode.Step() && mode.ColumnText(0) == "wal";
    return ok_;
  }

 private:
  Connection* conn_;
  long long cache_size_ = 0;
  bool journaled_ = false;
  bool restored_ = false;
  bool ok_ = false;
};

}  // namespace

Json::Value GeneratedMovie(long long index, long long total, uint64_t seed) {
  // Each movie has its own stream, so movie i does not depend on the ones
  // before it.
  Rng rng(seed * 0x100000001b3ULL + static_cast<uint64_t>(index));
  Json::Value m(Json::objectValue);
  m["id"] = static_cast<Json::Int64>(index);
  m["mapper_id"] = static_cast<Json::Int64>(index);
  m["library_id"] = static_cast<int>(1 + index % kGeneratedLibraries);
  std::string title = Word(rng) + " " + Word(rng) + " " + std::to_string(index);
  m["title"] = title;
  m["sort_title"] = title;
  long long released = kEpoch2000 + static_cast<long long>(rng.Below(25LL * 365 * 86400));
  m["original_available"] = FormatTime(released).substr(0, 10);
  // One movie in ten has no TMDb id; the others get distinct ids.
  if (rng.Below(10) != 0) m["tmdb_id"] = static_cast<Json::Int64>(index * 3 + 11);
  m["imdb_id"] = "tt" + std::to_string(1000000 + index);
  // Ratings 0.0 to 10.0 in tenths; one movie in twenty is unrated.
  if (rng.Below(20) != 0) m["rating"] = static_cast<double>(rng.Below(101)) / 10.0;
  m["certificate"] = kCertificates[rng.Below(KINORO_COUNT(kCertificates))];
  m["summary"] = "A " + Word(rng) + " story about a " + Word(rng) + " " + Word(rng) +
                 " that changes everything for the " + Word(rng) + " family.";
  m["tagline"] = Word(rng) + " is only the beginning.";
  // Newer ids were added later, with some jitter.
  m["create_time"] =
      FormatTime(kEpoch2000 + 600000000LL + index * 60 + static_cast<long long>(rng.Below(3600)));

  Json::Value& genres = m["genres"] = Json::Value(Json::arrayValue);
  for (uint64_t n = 1 + rng.Below(3); n > 0; --n) {
    genres.append(kGenres[rng.Below(KINORO_COUNT(kGenres))]);
  }
  // A cast pool that grows with the database, as real catalogues do.
  uint64_t people = static_cast<uint64_t>(total / 2 + 50);
  Json::Value& actors = m["actors"] = Json::Value(Json::arrayValue);
  for (uint64_t n = 3 + rng.Below(6); n > 0; --n) {
    actors.append("Actor " + std::to_string(rng.Below(people)));
  }
  m["directors"].append("Director " + std::to_string(rng.Below(people / 10 + 5)));
  for (uint64_t n = 1 + rng.Below(2); n > 0; --n) {
    m["writers"].append("Writer " + std::to_string(rng.Below(people / 5 + 5)));
  }
  if (rng.Below(4) == 0) m["tags"].append(kTags[rng.Below(KINORO_COUNT(kTags))]);
  if (rng.Below(20) == 0) m["collection"] = Word(rng) + " Collection";

  Json::Value& files = m["files"] = Json::Value(Json::arrayValue);
  for (uint64_t n = rng.Below(8) == 0 ? 2 : 1, part = 1; part <= n; ++part) {
    Json::Value file(Json::objectValue);
    file["path"] = "/volume1/media/films/library" + m["library_id"].asString() + "/" + title +
                   (n > 1 ? " part " + std::to_string(part) : "") + ".mkv";
    file["size"] = static_cast<Json::Int64>(700LL * 1024 * 1024 + rng.Below(4ULL << 30));
    file["duration"] = static_cast<double>(4800 + rng.Below(4800));
    files.append(file);
  }
  return m;
}

bool Generate(Connection* conn, const GenerateOptions& options, std::string* error) {
  {
    Statement stmt = conn->Prepare("SELECT COUNT(*) FROM library");
    if (!stmt.Step()) {
      *error = "cannot read the database";
      return false;
    }
    if (stmt.ColumnInt64(0) != 0) {
      *error = "the database already holds libraries; generate fills an empty one";
      return false;
    }
  }
  BulkWriteMode bulk(conn);  // outlives the importer's transaction
  Importer importer(conn, ".");
  if (options.progress) {
    long long total = options.movies;
    importer.SetProgress(
        [total](long long done) { fprintf(stderr, "generate: %lld/%lld movies\n", done, total); },
        10000);
  }
  if (!importer.Begin()) {
    *error = importer.error();
    return false;
  }
  std::vector<std::string> indexes;
  if (!DropIndexes(conn, &indexes)) {
    *error = std::string("cannot drop the indexes: ") + sqlite3_errmsg(conn->handle());
    return false;
  }
  static const char* const kLibraries[] = {
      R"({"id": 1, "title": "Films", "type": "movie", "public": true})",
      R"({"id": 2, "title": "Films of 1001", "type": "movie", "users": [1001]})",
      R"({"id": 3, "title": "Shared films", "type": "movie", "users": [1001, 1002]})",
      R"({"id": 4, "title": "Films of 1003", "type": "movie", "users": [1003]})",
  };
  for (int i = 0; i < kGeneratedLibraries; ++i) {
    Json::Value library;
    std::string ignored;
    ParseJson(kLibraries[i], &library, &ignored);
    if (!importer.AddLibrary(library, "libraries[" + std::to_string(i) + "]")) {
      *error = importer.error();
      return false;
    }
  }
  // One movie in ten gets a small poster, stored inline like any small image.
  std::string poster(64, 'p');
  poster[0] = '\xff';
  poster[1] = '\xd8';
  poster[2] = '\xff';
  const std::string poster_md5 = Md5(poster);
  for (long long i = 1; i <= options.movies; ++i) {
    if (!importer.AddMovie(GeneratedMovie(i, options.movies, options.seed),
                           "movies[" + std::to_string(i - 1) + "]")) {
      *error = importer.error();
      return false;
    }
    if (i % 10 == 0) {
      Statement add = conn->Prepare(
          "INSERT INTO poster (mapper_id, image, md5, size, mtime) VALUES (?1, ?2, ?3, ?4, ?5)");
      add.Bind(1, i)
          .BindBlob(2, poster.data(), poster.size())
          .BindBlob(3, poster_md5.data(), poster_md5.size())
          .Bind(4, static_cast<long long>(poster.size()))
          .Bind(5, kEpoch2000 + 600000000LL + i * 60);
      if (!add.Run()) {
        *error = std::string("poster: ") + sqlite3_errmsg(conn->handle());
        return false;
      }
    }
  }
  // Each index is one sort of a table. SQLite sorts runs of about its cache
  // size and merges them: runs of a few megabytes stay in the CPU's cache and
  // sort twice as fast as runs of the bulk cache's size, and helper threads
  // sort them side by side (credits by person, eight million rows at a
  // million movies, took 5.9 s in one thread with 128 MB runs, 2.9 s so).
  // The rows written so far are spilled to the file when the cache shrinks.
  conn->Exec("PRAGMA cache_size=-8192");
  const unsigned cores = std::thread::hardware_concurrency();
  conn->Exec(("PRAGMA threads=" + std::to_string(cores > 1 ? std::min(cores, 4u) : 0u)).c_str());
  for (const std::string& sql : indexes) {
    if (!conn->Exec(sql.c_str())) {
      *error = std::string("cannot build an index: ") + sqlite3_errmsg(conn->handle());
      return false;
    }
  }
  conn->Exec("PRAGMA threads=0");
  if (!importer.Commit()) {
    *error = importer.error();
    return false;
  }
  if (!bulk.Restore()) {
    *error = std::string("cannot return to WAL mode: ") + sqlite3_errmsg(conn->handle());
    return false;
  }
  conn->CheckpointTruncate();
  return true;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
