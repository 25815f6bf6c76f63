#include "platform/videodb/tool_commands.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "libkinoro/api.h"
#include "platform/videodb/generator.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/library_admin.h"
#include "platform/videodb/movielens.h"
#include "platform/videodb/scanner.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/tmdb_match.h"

namespace kinoro_db {

namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::Statement;

using LibKinoro::db::internal::OpenMode;

// init, import and generate create a missing database; the other commands
// work on an existing one.
Connection* OpenOrComplain(OpenMode mode = OpenMode::kExisting) {
  Connection* conn = Connection::Get(mode);
  if (conn == nullptr) {
    fprintf(stderr, "kinoro-db: cannot open %s\n", LibKinoro::db::GetDatabasePath().c_str());
  }
  return conn;
}

int Init(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  if (OpenOrComplain(OpenMode::kCreate) == nullptr) return 1;
  printf("database ready: %s\n", LibKinoro::db::GetDatabasePath().c_str());
  return 0;
}

int Import(const std::vector<std::string>& args) {
  const bool merge = args.size() == 2 && args[0] == "--merge";
  if (args.size() != 1 && !merge) return 2;
  Connection* conn = OpenOrComplain(OpenMode::kCreate);
  if (conn == nullptr) return 1;
  LibKinoro::db::internal::ImportCounts counts;
  std::string error;
  if (!LibKinoro::db::internal::ImportFile(conn, args.back(), true, &counts, &error, merge)) {
    fprintf(stderr, "kinoro-db: import failed, nothing changed: %s\n", error.c_str());
    return 1;
  }
  printf(
      "imported %lld libraries, %lld movies, %lld tvshows, %lld episodes, %lld videos, "
      "%lld files, %lld images, %lld conversion tasks\n",
      counts.libraries, counts.movies, counts.tvshows, counts.episodes, counts.videos, counts.files,
      counts.images, counts.conversion_tasks);
  return 0;
}

// Parses a whole non-negative decimal number.
bool ParseCount(const std::string& text, unsigned long long* out) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *out = std::stoull(text);
  return true;
}

int Generate(const std::vector<std::string>& args) {
  LibKinoro::db::internal::GenerateOptions options;
  bool have_movies = false;
  for (size_t i = 0; i < args.size(); i += 2) {
    unsigned long long value = 0;
    if (i + 1 >= args.size() || !ParseCount(args[i + 1], &value)) return 2;
    if (args[i] == "--movies") {
      options.movies = static_cast<long long>(value);
      have_movies = true;
    } else if (args[i] == "--seed") {
      options.seed = value;
    } else {
      return 2;
    }
  }
  if (!have_movies) return 2;
  Connection* conn = OpenOrComplain(OpenMode::kCreate);
  if (conn == nullptr) return 1;
  options.progress = true;
  std::string error;
  if (!LibKinoro::db::internal::Generate(conn, options, &error)) {
    fprintf(stderr, "kinoro-db: generate failed, nothing changed: %s\n", error.c_str());
    return 1;
  }
  printf("generated %lld movies in %d libraries (seed %llu)\n", options.movies,
         LibKinoro::db::internal::kGeneratedLibraries,
         static_cast<unsigned long long>(options.seed));
  return 0;
}

int MovieLens(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  std::string error;
  long long movies = 0;
  if (!LibKinoro::db::internal::ConvertMovieLens(args[0], args[1], &movies, &error)) {
    fprintf(stderr, "kinoro-db: movielens failed: %s\n", error.c_str());
    return 1;
  }
  printf("wrote %lld movies to %s\n", movies, args[1].c_str());
  return 0;
}

// Checks the database and removes image files a crash left behind.
int Check(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  int problems = 0;
  for (const char* pragma : {"PRAGMA integrity_check", "PRAGMA foreign_key_check"}) {
    Statement stmt = conn->Prepare(pragma);
    while (stmt.Step()) {
      std::string first = stmt.ColumnText(0);
      if (first == "ok") continue;
      fprintf(stderr, "kinoro-db: %s: %s\n", pragma, first.c_str());
      ++problems;
    }
    if (stmt.failed()) ++problems;
  }
  LibKinoro::db::internal::ImageStore store(conn->path());
  int removed = store.Sweep(conn, 3600);
  printf("%s; removed %d unused image files\n", problems ? "problems found" : "database ok",
         removed);
  return problems ? 1 : 0;
}

int Stats(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  static const char* const kTables[] = {
      "library", "movie", "tvshow",     "tvshow_episode", "home_video", "video_file",      "person",
      "genre",   "tag",   "collection", "poster",         "backdrop",   "conversion_task",
  };
  printf("database: %s\n", conn->path().c_str());
  for (const char* table : kTables) {
    std::string sql = std::string("SELECT COUNT(*) FROM ") + table;
    Statement stmt = conn->Prepare(sql.c_str());
    if (!stmt.Step()) return 1;
    printf("%-16s %lld\n", table, stmt.ColumnInt64(0));
  }
  return 0;
}

// Library types as people name them; the database calls videos home_video.
std::string TypeFromName(const std::string& name) {
  if (name == "movie" || name == "tvshow") return name;
  if (name == "video") return "home_video";
  return std::string();
}

std::string TypeName(const std::string& type) { return type == "home_video" ? "video" : type; }

int LibraryAdd(const std::vector<std::string>& args) {
  LibKinoro::db::internal::LibraryRecord library;
  bool have_title = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--public") {
      library.is_public = true;
      continue;
    }
    if (i + 1 >= args.size()) return 2;
    const std::string& value = args[++i];
    unsigned long long uid = 0;
    if (flag == "--title") {
      library.title = value;
      have_title = true;
    } else if (flag == "--type") {
      library.type = TypeFromName(value);
      if (library.type.empty()) return 2;
    } else if (flag == "--path") {
      library.paths.push_back(value);
    } else if (flag == "--user" && ParseCount(value, &uid) && uid <= 0xffffffffULL) {
      library.users.push_back(static_cast<unsigned int>(uid));
    } else {
      return 2;
    }
  }
  // Either everyone sees it or the users named do.
  if (!have_title || library.type.empty() || library.paths.empty() ||
      library.is_public == !library.users.empty()) {
    return 2;
  }
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  std::string error;
  if (!LibKinoro::db::internal::AddLibrary(conn, &library, &error)) {
    fprintf(stderr, "kinoro-db: library add failed: %s\n", error.c_str());
    return 1;
  }
  printf("%lld\n", library.id);
  return 0;
}

// One line per library, fields separated by tabs: id, type, title,
// "public" or "users UID,UID", then the folders.
int LibraryList(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  std::vector<LibKinoro::db::internal::LibraryRecord> libraries;
  if (!LibKinoro::db::internal::ListLibraries(conn, &libraries)) {
    fprintf(stderr, "kinoro-db: cannot read the libraries\n");
    return 1;
  }
  for (const auto& library : libraries) {
    std::string who = library.is_public ? "public" : "users ";
    for (size_t i = 0; !library.is_public && i < library.users.size(); ++i) {
      who += (i ? "," : "") + std::to_string(library.users[i]);
    }
    printf("%lld\t%s\t%s\t%s", library.id, TypeName(library.type).c_str(), library.title.c_str(),
           who.c_str());
    for (const std::string& path : library.paths) printf("\t%s", path.c_str());
    printf("\n");
  }
  return 0;
}

int LibraryDel(const std::vector<std::string>& args) {
  unsigned long long id = 0;
  if (args.size() != 1 || !ParseCount(args[0], &id)) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  long long removed = 0;
  std::string error;
  if (!LibKinoro::db::internal::DeleteLibrary(conn, static_cast<long long>(id), &removed, &error)) {
    fprintf(stderr, "kinoro-db: library del failed: %s\n", error.c_str());
    return 1;
  }
  printf("removed library %llu and its %lld videos; no file was touched\n", id, removed);
  return 0;
}

int Library(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "add") return LibraryAdd(rest);
  if (args[0] == "list") return LibraryList(rest);
  if (args[0] == "del") return LibraryDel(rest);
  return 2;
}

std::string ScanLine(const LibKinoro::db::internal::ScanStats& stats, double seconds) {
  char line[256];
  snprintf(line, sizeof(line),
           "%lld folders, %lld files seen, %lld new, %lld changed, %lld moved, %lld removed, "
           "%.0f files/s",
           stats.folders, stats.files_seen, stats.added, stats.changed, stats.moved, stats.removed,
           seconds > 0 ? static_cast<double>(stats.files_seen) / seconds : 0.0);
  return line;
}

// [--library ID] [--match] [--rematch]: the library and whether to match
// with TMDb afterwards (--rematch: also what found no match before).
bool ParseScanArgs(const std::vector<std::string>& args, long long* library_id, bool* match,
                   bool* rematch) {
  for (size_t i = 0; i < args.size(); ++i) {
    unsigned long long id = 0;
    if (args[i] == "--match" || args[i] == "--rematch") {
      *match = true;
      *rematch = *rematch || args[i] == "--rematch";
    } else if (args[i] == "--library" && i + 1 < args.size() && ParseCount(args[i + 1], &id) &&
               id > 0) {
      *library_id = static_cast<long long>(id);
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

int Match(const std::vector<std::string>& args) {
  long long library_id = 0;
  bool match = true, rematch = false;
  if (!ParseScanArgs(args, &library_id, &match, &rematch)) return 2;
  return LibKinoro::db::internal::RunMatchCommand(library_id, rematch);
}

int Scan(const std::vector<std::string>& args) {
  LibKinoro::db::internal::ScanOptions options;
  bool match = false, rematch = false;
  if (!ParseScanArgs(args, &options.library_id, &match, &rematch)) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  // On a terminal one line that keeps its place; in a log nothing but the
  // summary.
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const auto started = std::chrono::steady_clock::now();
  if (terminal) {
    options.progress = [started](const LibKinoro::db::internal::ScanStats& stats) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      fprintf(stderr, "\rscan: %s\033[K", ScanLine(stats, seconds).c_str());
    };
  }
  LibKinoro::db::internal::ScanStats stats;
  std::string error;
  const auto result = LibKinoro::db::internal::ScanLibraries(conn, options, &stats, &error);
  if (terminal) fprintf(stderr, "\r\033[K");
  if (result != LibKinoro::db::internal::ScanResult::kDone) {
    fprintf(stderr, "kinoro-db: scan %s: %s\n",
            result == LibKinoro::db::internal::ScanResult::kBusy ? "refused" : "failed",
            error.c_str());
    return 1;
  }
  printf("scanned %lld libraries in %.1f s: %s; %lld files read, %lld unreadable\n",
         stats.libraries, stats.seconds, ScanLine(stats, stats.seconds).c_str(), stats.probed,
         stats.unreadable);
  for (const std::string& folder : stats.unavailable) {
    printf("%s is missing or unreadable: nothing under it was removed\n", folder.c_str());
  }
  fflush(stdout);
  return match ? LibKinoro::db::internal::RunMatchCommand(options.library_id, rematch) : 0;
}

}  // namespace

int RunCommand(const std::string& command, const std::vector<std::string>& args) {
  struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
  };
  static const Command kCommands[] = {
      {"init", Init},       {"import", Import},     {"stats", Stats},
      {"check", Check},     {"generate", Generate}, {"movielens", MovieLens},
      {"library", Library}, {"scan", Scan},         {"match", Match},
      {nullptr, nullptr},
  };
  for (const Command* c = kCommands; c->name != nullptr; ++c) {
    if (command == c->name) return c->run(args);
  }
  return 2;
}

}  // namespace kinoro_db
