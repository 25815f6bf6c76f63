// Command line of kinoro-host: the server, and the user administration
// commands that share its users.db.
#ifndef KINORO_PLATFORM_HOST_HOST_OPTIONS_H_
#define KINORO_PLATFORM_HOST_HOST_OPTIONS_H_

#include <string>
#include <vector>

#include "platform/host/users_db.h"

namespace kinoro {
namespace host {

struct ServerOptions {
  std::string listen_host;  // numeric address or name; IPv6 without brackets
  int port = -1;            // 0 picks a free port (see port_file)
  std::vector<std::string> modules;
  int workers = 0;  // 0 means one per core
  std::string user;
  bool foreground = false;
  std::string users_db;
  std::string access_log;  // empty: standard error
  std::string port_file;   // written with the bound port once listening
  std::string web_root;    // the page's files
  // Empty: the root's defaults. The module's video database, and the
  // plug-in configuration it reads (a demo or test keeps its own apart).
  std::string db;
  std::string plugins_conf;
  SessionPolicy policy;
  // Between requests, and while a request line trickles in.
  unsigned int idle_timeout_seconds = 30;
  // From the request line to the end of the body, whatever the pace.
  unsigned int request_timeout_seconds = 10;
  unsigned int max_connections_per_client = 64;
  int max_workers = 0;          // with spare workers; 0 means workers + 4
  int spare_idle_seconds = 60;  // a spare worker idle this long is retired
  int login_threads = 2;        // password hashing runs only on these
  int login_queue = 32;         // logins waiting beyond the running ones
  bool secure_cookies = false;
  int drain_timeout_seconds = 30;
};

struct UserCommandOptions {
  std::string name;
  unsigned int uid = 0;
  bool is_admin = false;
  std::string users_db;
};

enum class Command { kServe, kUserAdd, kUserDel, kUserList, kHelp };

struct CommandLine {
  Command command = Command::kHelp;
  ServerOptions server;
  UserCommandOptions user;
};

// The default users.db of the build's root.
std::string DefaultUsersDb();

extern const char kHostUsage[];

// Parses argv (without argv[0]). False with a one-line `error` on bad input.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

// "127.0.0.1:5080", "[::1]:80", "localhost:0" into host and port.
bool ParseListenAddress(const std::string& text, std::string* host, int* port);

// User names: 1 to 64 printable characters, no white space.
bool IsValidUserName(const std::string& name);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_HOST_OPTIONS_H_
