// kinoro-db: creates, fills and inspects the video database.
//
//   kinoro-db [--db PATH] init
//   kinoro-db [--db PATH] import [--merge] FILE.json
//   kinoro-db [--db PATH] generate --movies N [--seed S]
//   kinoro-db [--db PATH] stats
//   kinoro-db [--db PATH] check
//   kinoro-db [--db PATH] library add --title T --type movie|tvshow|video --path /share/folder
//                                     [--path ...] (--public | --user UID ...)
//   kinoro-db [--db PATH] library list
//   kinoro-db [--db PATH] library del ID
//   kinoro-db [--db PATH] scan [--library ID] [--match] [--rematch]
//   kinoro-db [--db PATH] match [--library ID] [--rematch]
//   kinoro-db movielens DIR OUT.json
//   kinoro-db share add NAME PATH [--conf FILE]
//   kinoro-db share del NAME [--conf FILE]
//   kinoro-db plugin-setting FROM TO PLUGIN KEY VALUE
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "platform/videodb/conf_edit.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/tool_commands.h"
#include "velm/caller.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: kinoro-db [--db PATH] init\n"
          "       kinoro-db [--db PATH] import [--merge] FILE.json\n"
          "       kinoro-db [--db PATH] generate --movies N [--seed S]\n"
          "       kinoro-db [--db PATH] stats\n"
          "       kinoro-db [--db PATH] check\n"
          "       kinoro-db [--db PATH] library add --title T --type movie|tvshow|video\n"
          "                 --path /share/folder [--path ...] (--public | --user UID ...)\n"
          "       kinoro-db [--db PATH] library list\n"
          "       kinoro-db [--db PATH] library del ID\n"
          "       kinoro-db [--db PATH] scan [--library ID] [--match] [--rematch]\n"
          "       kinoro-db [--db PATH] match [--library ID] [--rematch]\n"
          "       kinoro-db movielens DIR OUT.json\n"
          "       kinoro-db share add NAME PATH [--conf FILE]\n"
          "       kinoro-db share del NAME [--conf FILE]\n"
          "       kinoro-db plugin-setting FROM TO PLUGIN KEY VALUE\n");
}

}  // namespace

int main(int argc, char** argv) {
  openlog("kinoro-db", LOG_PERROR, LOG_USER);
  // The tool works on the whole database, for the appliance, not a user.
  velm::SetCallerSystem();
  // Each command uses its connection from one thread (the import's reader
  // thread only parses).
  LibKinoro::db::internal::ConfigureSqliteForOneThread();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--db") {
    LibKinoro::db::SetDatabasePath(args[1]);
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    Usage();
    return 2;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  int rc = kinoro_db::RunConfCommand(command, args);
  if (rc < 0) rc = kinoro_db::RunCommand(command, args);
  if (rc == 2) Usage();
  return rc;
}
