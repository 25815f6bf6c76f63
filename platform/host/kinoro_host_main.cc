// kinoro-host: the HTTP host for API modules, and the administration of the
// users who may log in to it. See host_options.h for the command line.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/host/host_options.h"
#include "platform/host/server.h"
#include "platform/host/users_db.h"

namespace {

using kinoro::host::CommandLine;
using kinoro::host::UsersDb;

int Fail(const std::string& message) {
  fprintf(stderr, "kinoro-host: %s\n", message.c_str());
  return 2;
}

int RunUserCommand(const CommandLine& cmd) {
  UsersDb db;
  std::string error;
  if (!db.Open(cmd.user.users_db, &error)) return Fail(error);
  switch (cmd.command) {
    case kinoro::host::Command::kUserAdd: {
      std::string password;
      if (!std::getline(std::cin, password) && password.empty()) {
        return Fail("user add reads the password from the first line of standard input");
      }
      if (!password.empty() && password.back() == '\r') password.pop_back();
      if (password.empty()) return Fail("the password must not be empty");
      if (!db.AddUser(cmd.user.name, cmd.user.uid, password, cmd.user.is_admin, &error)) {
        return Fail(error);
      }
      return 0;
    }
    case kinoro::host::Command::kUserDel:
      return db.DeleteUser(cmd.user.name, &error) ? 0 : Fail(error);
    case kinoro::host::Command::kUserList: {
      std::vector<kinoro::host::UserRecord> users;
      if (!db.ListUsers(&users, &error)) return Fail(error);
      for (const auto& u : users) {
        printf("%u\t%s\t%s\n", u.uid, u.name.c_str(), u.is_admin ? "admin" : "user");
      }
      return 0;
    }
    default:
      return Fail("internal: not a user command");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine cmd;
  std::string error;
  if (!kinoro::host::ParseCommandLine(args, &cmd, &error)) {
    fputs(kinoro::host::kHostUsage, stderr);
    return Fail(error);
  }
  switch (cmd.command) {
    case kinoro::host::Command::kHelp:
      fputs(kinoro::host::kHostUsage, stdout);
      return 0;
    case kinoro::host::Command::kServe:
      return kinoro::host::RunServer(cmd.server);
    default:
      return RunUserCommand(cmd);
  }
}
