// Import against its ceiling. The same N movies go into two fresh databases:
// once through `kinoro-db import` of a document written here (a child
// process, timed from start to exit, with its peak resident memory), and once
// straight from the in-memory records, in one transaction with prepared
// statements on a connection the library itself opened, so with its pragmas
// and page cache, in a process with kinoro-db's SQLite configuration, and
// ending with the same log truncation. Each round checks that both databases
// hold the same number of rows in every table written.
//
//   import_ceiling KINORO_DB [MOVIES [ROUNDS [DIR]]]
//
// Prints each round and the medians: movies per second of both, import's
// share of the ceiling, and import's peak memory.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "libkinoro/records.h"
#include "platform/videodb/schema.h"
#include "platform/videodb/sqlite_db.h"

namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::OpenMode;

constexpr int kLibraries = 4;
constexpr int kActorsPerMovie = 5;
const char* const kGenres[] = {"Action",  "Adventure", "Animation",       "Comedy",   "Crime",
                               "Drama",   "Family",    "Fantasy",         "History",  "Horror",
                               "Mystery", "Romance",   "Science Fiction", "Thriller", "Western"};
constexpr int kGenreCount = sizeof(kGenres) / sizeof(kGenres[0]);
const char* const kWords[] = {"Silent", "River",  "Night",  "Empire", "Shadow", "Garden",
                              "Winter", "Echo",   "Glass",  "Harbor", "Iron",   "Paper",
                              "Hidden", "Broken", "Golden", "Wild",   "Secret", "Lost"};
constexpr int kWordCount = sizeof(kWords) / sizeof(kWords[0]);

// SplitMix64: the same records on every run and machine.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Below(uint64_t n) {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return (z ^ (z >> 31)) % n;
  }

 private:
  uint64_t state_;
};

// People are indexes into one name table (actors, then directors), so that
// the ceiling needs no name lookup at all.
struct Movie {
  long long id = 0;
  int library_id = 0;
  std::string title;
  std::string original_available;
  long long tmdb_id = 0;
  std::string imdb_id;
  double rating = 0;
  std::string summary;
  std::vector<int> genres;
  std::vector<int> actors;
  int director = 0;
  std::string file_path;
  long long file_size = 0;
  double duration = 0;
};

struct Catalogue {
  std::vector<std::string> people;
  std::vector<Movie> movies;
};

Catalogue MakeCatalogue(long long count) {
  Catalogue c;
  // A cast pool that grows with the catalogue, as real ones do.
  const int actors = static_cast<int>(count / 2 + 50);
  const int directors = static_cast<int>(count / 20 + 5);
  c.people.reserve(static_cast<size_t>(actors + directors));
  for (int i = 0; i < actors; ++i) c.people.push_back("Actor " + std::to_string(i));
  for (int i = 0; i < directors; ++i) c.people.push_back("Director " + std::to_string(i));
  c.movies.resize(static_cast<size_t>(count));
  Rng rng(20240101);
  for (long long i = 0; i < count; ++i) {
    Movie& m = c.movies[static_cast<size_t>(i)];
    m.id = i + 1;
    m.library_id = static_cast<int>(1 + i % kLibraries);
    m.title = std::string(kWords[rng.Below(kWordCount)]) + " " + kWords[rng.Below(kWordCount)] +
              " " + std::to_string(m.id);
    char date[16];
    snprintf(date, sizeof(date), "%04d-%02d-%02d", static_cast<int>(1950 + rng.Below(75)),
             static_cast<int>(1 + rng.Below(12)), static_cast<int>(1 + rng.Below(28)));
    m.original_available = date;
    m.tmdb_id = m.id * 3 + 11;
    m.imdb_id = "tt" + std::to_string(1000000 + m.id);
    m.rating = static_cast<double>(rng.Below(101)) / 10.0;
    m.summary = std::string("A ") + kWords[rng.Below(kWordCount)] + " story about a " +
                kWords[rng.Below(kWordCount)] + " " + kWords[rng.Below(kWordCount)] +
                " that changes everything for the " + kWords[rng.Below(kWordCount)] + " family.";
    // Distinct genres and actors: the importer counts a repeated name once.
    for (int n = 2 + static_cast<int>(rng.Below(2)); static_cast<int>(m.genres.size()) < n;) {
      int g = static_cast<int>(rng.Below(kGenreCount));
      if (std::find(m.genres.begin(), m.genres.end(), g) == m.genres.end()) m.genres.push_back(g);
    }
    while (static_cast<int>(m.actors.size()) < kActorsPerMovie) {
      int a = static_cast<int>(rng.Below(static_cast<uint64_t>(actors)));
      if (std::find(m.actors.begin(), m.actors.end(), a) == m.actors.end()) m.actors.push_back(a);
    }
    m.director = actors + static_cast<int>(rng.Below(static_cast<uint64_t>(directors)));
    m.file_path =
        "/volume1/media/films/library" + std::to_string(m.library_id) + "/" + m.title + ".mkv";
    m.file_size = 700LL * 1024 * 1024 + static_cast<long long>(rng.Below(4ULL << 30));
    m.duration = static_cast<double>(4800 + rng.Below(4800));
  }
  return c;
}

// The names and texts made above hold no character JSON must escape.
bool WriteDocument(const Catalogue& c, const std::string& path) {
  FILE* out = fopen(path.c_str(), "we");
  if (out == nullptr) return false;
  static char buffer[1 << 20];
  setvbuf(out, buffer, _IOFBF, sizeof(buffer));
  fputs("{\"libraries\": [", out);
  for (int l = 1; l <= kLibraries; ++l) {
    fprintf(out,
            "%s\n {\"id\": %d, \"title\": \"Films %d\", \"type\": \"movie\", \"public\": true}",
            l > 1 ? "," : "", l, l);
  }
  fputs("],\n\"movies\": [", out);
  for (size_t i = 0; i < c.movies.size(); ++i) {
    const Movie& m = c.movies[i];
    fprintf(out,
            "%s\n {\"id\": %lld, \"mapper_id\": %lld, \"library_id\": %d, \"title\": \"%s\", "
            "\"sort_title\": \"%s\", \"original_available\": \"%s\", \"tmdb_id\": %lld, "
            "\"imdb_id\": \"%s\", \"rating\": %.1f, \"summary\": \"%s\", \"genres\": [",
            i > 0 ? "," : "", m.id, m.id, m.library_id, m.title.c_str(), m.title.c_str(),
            m.original_available.c_str(), m.tmdb_id, m.imdb_id.c_str(), m.rating,
            m.summary.c_str());
    for (size_t g = 0; g < m.genres.size(); ++g) {
      fprintf(out, "%s\"%s\"", g > 0 ? ", " : "", kGenres[m.genres[g]]);
    }
    fputs("], \"actors\": [", out);
    for (size_t a = 0; a < m.actors.size(); ++a) {
      fprintf(out, "%s\"%s\"", a > 0 ? ", " : "",
              c.people[static_cast<size_t>(m.actors[a])].c_str());
    }
    fprintf(out,
            "], \"directors\": [\"%s\"], \"files\": [{\"path\": \"%s\", \"size\": %lld, "
            "\"duration\": %.0f}]}",
            c.people[static_cast<size_t>(m.director)].c_str(), m.file_path.c_str(), m.file_size,
            m.duration);
  }
  fputs("\n]}\n", out);
  return fclose(out) == 0;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

// Runs the tool with its output in `log`; the child's exit status, its wall
// time and its peak resident memory.
bool RunTool(const std::vector<std::string>& args, const std::string& log, double* seconds,
             long* peak_kb) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  fflush(nullptr);  // else the child writes out this process's buffered text again
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (freopen("/dev/null", "w", stdout) == nullptr ||
        freopen(log.c_str(), "w", stderr) == nullptr) {
      _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  *seconds = Seconds(start);
  *peak_kb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ReadAll(int fd, void* data, size_t size) {
  for (char* p = static_cast<char*>(data); size > 0;) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  for (const char* p = static_cast<const char*>(data); size > 0;) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A child's ru_maxrss starts from the high-water mark of the process it was
// forked from, exec or not, so a tool forked from this process (which holds
// every record) would report at least this process's size. The tools are
// forked by a launcher instead, itself forked while this process is small.
class Launcher {
 public:
  bool Start() {
    int request[2], reply[2];
    if (pipe2(request, O_CLOEXEC) != 0 || pipe2(reply, O_CLOEXEC) != 0) return false;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      close(request[1]);
      close(reply[0]);
      Serve(request[0], reply[1]);
      _exit(0);
    }
    close(request[0]);
    close(reply[1]);
    to_ = request[1];
    from_ = reply[0];
    pid_ = pid;
    return true;
  }
  ~Launcher() {
    if (pid_ <= 0) return;
    close(to_);  // the launcher ends at the end of its requests
    close(from_);
    waitpid(pid_, nullptr, 0);
  }

  // `args` then `log` go over as length-prefixed strings.
  bool Run(const std::vector<std::string>& args, const std::string& log, double* seconds,
           long* peak_kb) {
    std::vector<std::string> message = args;
    message.push_back(log);
    const uint32_t count = static_cast<uint32_t>(message.size());
    if (!WriteAll(to_, &count, sizeof(count))) return false;
    for (const std::string& part : message) {
      const uint32_t size = static_cast<uint32_t>(part.size());
      if (!WriteAll(to_, &size, sizeof(size)) || !WriteAll(to_, part.data(), size)) return false;
    }
    Result result;
    if (!ReadAll(from_, &result, sizeof(result))) return false;
    *seconds = result.seconds;
    *peak_kb = result.peak_kb;
    return result.ok;
  }

 private:
  struct Result {
    bool ok;
    double seconds;
    long peak_kb;
  };

  static void Serve(int in, int out) {
    for (uint32_t count; ReadAll(in, &count, sizeof(count));) {
      std::vector<std::string> message(count);
      for (std::string& part : message) {
        uint32_t size = 0;
        if (!ReadAll(in, &size, sizeof(size))) return;
        part.resize(size);
        if (!ReadAll(in, &part[0], size)) return;
      }
      const std::string log = message.back();
      message.pop_back();
      Result result = {};
      result.ok = RunTool(message, log, &result.seconds, &result.peak_kb);
      if (!WriteAll(out, &result, sizeof(result))) return;
    }
  }

  int to_ = -1;
  int from_ = -1;
  pid_t pid_ = -1;
};

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
      fprintf(stderr, "prepare %s: %s\n", sql, sqlite3_errmsg(db));
      exit(1);
    }
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt& Int(int i, long long v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& Real(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  Stmt& Text(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    return *this;
  }
  Stmt& Text(int i, const char* v) {
    sqlite3_bind_text(stmt_, i, v, -1, SQLITE_STATIC);
    return *this;
  }
  bool Run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    return rc == SQLITE_DONE;
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// The same rows the importer writes for the document, from the records.
bool WriteCeiling(const Catalogue& c, const std::string& path, std::string* error) {
  std::unique_ptr<Connection> conn = Connection::Open(path, OpenMode::kExisting, error);
  if (!conn) return false;
  sqlite3* db = conn->handle();
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + sqlite3_errmsg(db);
    return false;
  };
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return fail("begin");
  }
  const long long now = time(nullptr);
  {
    Stmt library(db,
                 "INSERT INTO library (id, title, type, is_public, create_time) "
                 "VALUES (?1, ?2, 'movie', 1, ?3)");
    Stmt mapper(db,
                "INSERT INTO mapper (id, type, video_id, library_id, create_time) "
                "VALUES (?1, ?2, ?3, ?4, ?5)");
    Stmt movie(db,
               "INSERT INTO movie (id, mapper_id, library_id, title, sort_title, "
               "original_available, tmdb_id, imdb_id, rating, summary, tagline, certificate, "
               "create_time) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, '', '', ?11)");
    Stmt person(db, "INSERT INTO person (id, name) VALUES (?1, ?2)");
    Stmt genre(db, "INSERT INTO genre (id, name) VALUES (?1, ?2)");
    Stmt credit(
        db, "INSERT INTO credit (mapper_id, role, position, person_id) VALUES (?1, ?2, ?3, ?4)");
    Stmt video_genre(db,
                     "INSERT INTO video_genre (mapper_id, position, genre_id) VALUES (?1, ?2, ?3)");
    Stmt file(db,
              "INSERT INTO video_file (mapper_id, path, size, duration) VALUES (?1, ?2, ?3, ?4)");
    for (int l = 1; l <= kLibraries; ++l) {
      if (!library.Int(1, l).Text(2, "Films " + std::to_string(l)).Int(3, now).Run()) {
        return fail("library");
      }
    }
    // Ids in order of first use, as an import gives them.
    std::vector<long long> person_ids(c.people.size(), 0), genre_ids(kGenreCount, 0);
    long long next_person = 1, next_genre = 1;
    auto person_id = [&](int index) -> long long {
      long long& id = person_ids[static_cast<size_t>(index)];
      if (id == 0) {
        id = next_person++;
        if (!person.Int(1, id).Text(2, c.people[static_cast<size_t>(index)]).Run()) return 0;
      }
      return id;
    };
    for (const Movie& m : c.movies) {
      if (!mapper.Int(1, m.id)
               .Int(2, LibKinoro::VIDEO_TYPE_MOVIE)
               .Int(3, m.id)
               .Int(4, m.library_id)
               .Int(5, now)
               .Run()) {
        return fail("mapper");
      }
      if (!movie.Int(1, m.id)
               .Int(2, m.id)
               .Int(3, m.library_id)
               .Text(4, m.title)
               .Text(5, m.title)
               .Text(6, m.original_available)
               .Int(7, m.tmdb_id)
               .Text(8, m.imdb_id)
               .Real(9, m.rating)
               .Text(10, m.summary)
               .Int(11, now)
               .Run()) {
        return fail("movie");
      }
      int position = 0;
      for (int actor : m.actors) {
        const long long id = person_id(actor);
        if (id == 0) return fail("person");
        if (!credit.Int(1, m.id)
                 .Int(2, LibKinoro::db::internal::kRoleActor)
                 .Int(3, position++)
                 .Int(4, id)
                 .Run()) {
          return fail("credit");
        }
      }
      const long long director = person_id(m.director);
      if (director == 0) return fail("person");
      if (!credit.Int(1, m.id)
               .Int(2, LibKinoro::db::internal::kRoleDirector)
               .Int(3, 0)
               .Int(4, director)
               .Run()) {
        return fail("credit");
      }
      position = 0;
      for (int g : m.genres) {
        long long& id = genre_ids[static_cast<size_t>(g)];
        if (id == 0) {
          id = next_genre++;
          if (!genre.Int(1, id).Text(2, kGenres[g]).Run()) return fail("genre");
        }
        if (!video_genre.Int(1, m.id).Int(2, position++).Int(3, id).Run()) {
          return fail("video_genre");
        }
      }
      if (!file.Int(1, m.id).Text(2, m.file_path).Int(3, m.file_size).Real(4, m.duration).Run()) {
        return fail("video_file");
      }
    }
  }
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail("commit");
  conn->CheckpointTruncate();
  return true;
}

// Row counts of the tables both ways write, "movie=N credit=N ...".
std::string RowCounts(const std::string& path) {
  std::string error;
  std::unique_ptr<Connection> conn = Connection::Open(path, OpenMode::kExisting, &error);
  if (!conn) return "cannot open: " + error;
  std::string out;
  for (const char* table :
       {"library", "mapper", "movie", "person", "credit", "genre", "video_genre", "video_file"}) {
    const std::string sql = std::string("SELECT COUNT(*) FROM ") + table;
    sqlite3_stmt* stmt = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(conn->handle(), sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      n = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    out += std::string(out.empty() ? "" : " ") + table + "=" + std::to_string(n);
  }
  return out;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s KINORO_DB [MOVIES [ROUNDS [DIR]]]\n", argv[0]);
    return 2;
  }
  const std::string tool = argv[1];
  const long long count = argc > 2 ? atoll(argv[2]) : 100000;
  const int rounds = argc > 3 ? atoi(argv[3]) : 3;
  const std::string dir = argc > 4 ? argv[4] : "bench-data/import_ceiling";
  if (count <= 0 || rounds <= 0) return 2;
  // SQLite set up as in kinoro-db.
  LibKinoro::db::internal::ConfigureSqliteForOneThread();
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    mkdir(dir.substr(0, slash).c_str(), 0755);  // each parent, then the folder
    if (slash == std::string::npos) break;
  }

  Launcher launcher;
  if (!launcher.Start()) {
    perror("launcher");
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  const Catalogue catalogue = MakeCatalogue(count);
  const std::string doc = dir + "/movies-" + std::to_string(count) + ".json";
  if (!WriteDocument(catalogue, doc)) {
    fprintf(stderr, "cannot write %s\n", doc.c_str());
    return 1;
  }
  struct stat st = {};
  stat(doc.c_str(), &st);
  printf("%lld movies, document %.1f MB, made in %.1f s\n", count,
         static_cast<double>(st.st_size) / 1e6, Seconds(start));

  const std::string import_db = dir + "/import.db", ceiling_db = dir + "/ceiling.db";
  const std::string log = dir + "/import.log";
  std::vector<double> import_rates, ceiling_rates, shares;
  long peak_kb = 0;
  for (int round = 1; round <= rounds; ++round) {
    RemoveDatabase(import_db);
    RemoveDatabase(ceiling_db);
    double import_s = 0;
    long round_peak = 0;
    if (!launcher.Run({tool, "--db", import_db, "import", doc}, log, &import_s, &round_peak)) {
      fprintf(stderr, "import failed; see %s\n", log.c_str());
      return 1;
    }
    double init_s = 0;
    long init_peak = 0;
    if (!launcher.Run({tool, "--db", ceiling_db, "init"}, log, &init_s, &init_peak)) {
      fprintf(stderr, "init failed; see %s\n", log.c_str());
      return 1;
    }
    std::string error;
    start = std::chrono::steady_clock::now();
    if (!WriteCeiling(catalogue, ceiling_db, &error)) {
      fprintf(stderr, "ceiling: %s\n", error.c_str());
      return 1;
    }
    const double ceiling_s = Seconds(start);
    const std::string imported = RowCounts(import_db), written = RowCounts(ceiling_db);
    if (imported != written) {
      fprintf(stderr, "the two databases differ:\n  import:  %s\n  ceiling: %s\n", imported.c_str(),
              written.c_str());
      return 1;
    }
    const double import_rate = static_cast<double>(count) / import_s;
    const double ceiling_rate = static_cast<double>(count) / ceiling_s;
    import_rates.push_back(import_rate);
    ceiling_rates.push_back(ceiling_rate);
    shares.push_back(import_rate / ceiling_rate);
    peak_kb = std::max(peak_kb, round_peak);
    printf(
        "round %d: import %.0f movies/s (%.1f s, peak %.1f MB), ceiling %.0f movies/s (%.1f s), "
        "share %.2f\n",
        round, import_rate, import_s, static_cast<double>(round_peak) / 1024, ceiling_rate,
        ceiling_s, import_rate / ceiling_rate);
    if (round == 1) printf("  rows: %s\n", imported.c_str());
    fflush(stdout);
  }
  printf(
      "median of %d: import %.0f movies/s, ceiling %.0f movies/s, share %.2f (target 0.80); "
      "import peak memory %.1f MB\n",
      rounds, Median(import_rates), Median(ceiling_rates), Median(shares),
      static_cast<double>(peak_kb) / 1024);
  RemoveDatabase(import_db);
  RemoveDatabase(ceiling_db);
  return 0;
}
