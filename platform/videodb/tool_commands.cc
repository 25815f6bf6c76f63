#include "platform/videodb/tool_commands.h"

#include <cstdio>
#include <cstdlib>

#include "libkinoro/api.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"

namespace kinoro_db {

namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::Statement;

Connection* OpenOrComplain() {
  Connection* conn = Connection::Get();
  if (conn == nullptr) {
    fprintf(stderr, "kinoro-db: cannot open %s\n", LibKinoro::db::GetDatabasePath().c_str());
  }
  return conn;
}

int Init(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  if (OpenOrComplain() == nullptr) return 1;
  printf("database ready: %s\n", LibKinoro::db::GetDatabasePath().c_str());
  return 0;
}

int Import(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  LibKinoro::db::internal::ImportCounts counts;
  std::string error;
  if (!LibKinoro::db::internal::ImportFile(conn, args[0], true, &counts, &error)) {
    fprintf(stderr, "kinoro-db: import failed, nothing changed: %s\n", error.c_str());
    return 1;
  }
  printf("imported %lld libraries, %lld movies, %lld tvshows, %lld episodes, %lld videos, "
         "%lld files, %lld images, %lld conversion tasks\n",
         counts.libraries, counts.movies, counts.tvshows, counts.episodes, counts.videos,
         counts.files, counts.images, counts.conversion_tasks);
  return 0;
}

int Stats(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  Connection* conn = OpenOrComplain();
  if (conn == nullptr) return 1;
  static const char* const kTables[] = {
      "library", "movie",  "tvshow",   "tvshow_episode", "home_video", "video_file",
      "person",  "genre",  "tag",      "collection",     "poster",     "backdrop",
      "conversion_task",
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
      {"init", Init},
      {"import", Import},
      {"stats", Stats},
      {nullptr, nullptr},
  };
  for (const Command* c = kCommands; c->name != nullptr; ++c) {
    if (command == c->name) return c->run(args);
  }
  return 2;
}

}  // namespace kinoro_db
