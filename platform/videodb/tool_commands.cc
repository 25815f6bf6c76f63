#include "platform/videodb/tool_commands.h"

#include <cstdio>
#include <cstdlib>

#include "libkinoro/api.h"
#include "platform/videodb/generator.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/movielens.h"
#include "platform/videodb/sqlite_db.h"

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
  if (args.size() != 1) return 2;
  Connection* conn = OpenOrComplain(OpenMode::kCreate);
  if (conn == nullptr) return 1;
  LibKinoro::db::internal::ImportCounts counts;
  std::string error;
  if (!LibKinoro::db::internal::ImportFile(conn, args[0], true, &counts, &error)) {
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

}  // namespace

int RunCommand(const std::string& command, const std::vector<std::string>& args) {
  struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
  };
  static const Command kCommands[] = {
      {"init", Init},         {"import", Import},       {"stats", Stats},   {"check", Check},
      {"generate", Generate}, {"movielens", MovieLens}, {nullptr, nullptr},
  };
  for (const Command* c = kCommands; c->name != nullptr; ++c) {
    if (command == c->name) return c->run(args);
  }
  return 2;
}

}  // namespace kinoro_db
