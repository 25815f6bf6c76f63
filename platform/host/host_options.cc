#include "platform/host/host_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "kinoro/root.h"
#include "platform/host/static_files.h"

namespace kinoro {
namespace host {
namespace {

bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty() || text.size() > 20) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] >= '0' && text[i] <= '9') && !(i == 0 && text[i] == '-')) return false;
  }
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// Walks the arguments; Value() takes the one after an option.
class ArgReader {
 public:
  explicit ArgReader(const std::vector<std::string>& args) : args_(args) {}
  bool Done() const { return pos_ >= args_.size(); }
  const std::string& Next() { return args_[pos_++]; }
  bool Value(const std::string& option, std::string* value, std::string* error) {
    if (Done()) {
      *error = option + " needs a value";
      return false;
    }
    *value = Next();
    return true;
  }
  bool Number(const std::string& option, long long min, long long max, long long* out,
              std::string* error) {
    std::string text;
    if (!Value(option, &text, error)) return false;
    if (!ParseNumber(text, min, max, out)) {
      *error = option + " takes a number from " + std::to_string(min) + " to " +
               std::to_string(max) + ", not \"" + text + "\"";
      return false;
    }
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t pos_ = 0;
};

bool ParseServer(ArgReader* in, ServerOptions* out, std::string* error) {
  bool have_listen = false;
  while (!in->Done()) {
    std::string arg = in->Next();
    std::string value;
    long long n = 0;
    if (arg == "--listen") {
      if (!in->Value(arg, &value, error)) return false;
      if (!ParseListenAddress(value, &out->listen_host, &out->port)) {
        *error = "--listen takes ADDR:PORT, not \"" + value + "\"";
        return false;
      }
      have_listen = true;
    } else if (arg == "--module") {
      if (!in->Value(arg, &value, error)) return false;
      out->modules.push_back(value);
    } else if (arg == "--workers") {
      if (!in->Number(arg, 1, 256, &n, error)) return false;
      out->workers = static_cast<int>(n);
    } else if (arg == "--user") {
      if (!in->Value(arg, &out->user, error)) return false;
    } else if (arg == "--foreground") {
      out->foreground = true;
    } else if (arg == "--users-db") {
      if (!in->Value(arg, &out->users_db, error)) return false;
    } else if (arg == "--access-log") {
      if (!in->Value(arg, &out->access_log, error)) return false;
    } else if (arg == "--web-root") {
      if (!in->Value(arg, &out->web_root, error)) return false;
    } else if (arg == "--db") {
      if (!in->Value(arg, &out->db, error)) return false;
    } else if (arg == "--plugins-conf") {
      if (!in->Value(arg, &out->plugins_conf, error)) return false;
    } else if (arg == "--port-file") {
      if (!in->Value(arg, &out->port_file, error)) return false;
    } else if (arg == "--session-idle") {
      if (!in->Number(arg, 1, 365LL * 24 * 3600, &n, error)) return false;
      out->policy.idle_seconds = n;
    } else if (arg == "--lockout") {
      if (!in->Number(arg, 1, 24 * 3600, &n, error)) return false;
      out->policy.lockout_seconds = n;
    } else if (arg == "--idle-timeout") {
      if (!in->Number(arg, 1, 3600, &n, error)) return false;
      out->idle_timeout_seconds = static_cast<unsigned int>(n);
    } else if (arg == "--request-timeout") {
      if (!in->Number(arg, 1, 3600, &n, error)) return false;
      out->request_timeout_seconds = static_cast<unsigned int>(n);
    } else if (arg == "--max-connections-per-client") {
      if (!in->Number(arg, 1, 1000000, &n, error)) return false;
      out->max_connections_per_client = static_cast<unsigned int>(n);
    } else if (arg == "--max-workers") {
      if (!in->Number(arg, 1, 256, &n, error)) return false;
      out->max_workers = static_cast<int>(n);
    } else if (arg == "--spare-idle") {
      if (!in->Number(arg, 1, 24 * 3600, &n, error)) return false;
      out->spare_idle_seconds = static_cast<int>(n);
    } else if (arg == "--login-threads") {
      if (!in->Number(arg, 1, 64, &n, error)) return false;
      out->login_threads = static_cast<int>(n);
    } else if (arg == "--login-queue") {
      if (!in->Number(arg, 0, 100000, &n, error)) return false;
      out->login_queue = static_cast<int>(n);
    } else if (arg == "--secure-cookies") {
      out->secure_cookies = true;
    } else if (arg == "--drain-timeout") {
      if (!in->Number(arg, 1, 3600, &n, error)) return false;
      out->drain_timeout_seconds = static_cast<int>(n);
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (!have_listen) {
    *error = "--listen ADDR:PORT is required";
    return false;
  }
  if (out->modules.empty()) {
    *error = "at least one --module PATH is required";
    return false;
  }
  if (out->max_workers != 0 && out->workers != 0 && out->max_workers < out->workers) {
    *error = "--max-workers must be at least --workers";
    return false;
  }
  return true;
}

bool ParseUser(ArgReader* in, CommandLine* out, std::string* error) {
  if (in->Done()) {
    *error = "user needs add, del or list";
    return false;
  }
  std::string sub = in->Next();
  UserCommandOptions& user = out->user;
  bool have_uid = false;
  if (sub == "add") {
    out->command = Command::kUserAdd;
  } else if (sub == "del") {
    out->command = Command::kUserDel;
  } else if (sub == "list") {
    out->command = Command::kUserList;
  } else {
    *error = "unknown user command \"" + sub + "\" (add, del or list)";
    return false;
  }
  while (!in->Done()) {
    std::string arg = in->Next();
    long long n = 0;
    if (arg == "--users-db") {
      if (!in->Value(arg, &user.users_db, error)) return false;
    } else if (arg == "--uid" && out->command == Command::kUserAdd) {
      if (!in->Number(arg, 0, UINT_MAX, &n, error)) return false;
      user.uid = static_cast<unsigned int>(n);
      have_uid = true;
    } else if (arg == "--admin" && out->command == Command::kUserAdd) {
      user.is_admin = true;
    } else if (!arg.empty() && arg[0] != '-' && user.name.empty() &&
               out->command != Command::kUserList) {
      user.name = arg;
    } else {
      *error = arg.empty() || arg[0] == '-' ? "unknown option " + arg
                                            : "unexpected argument \"" + arg + "\"";
      return false;
    }
  }
  if (out->command != Command::kUserList) {
    if (user.name.empty()) {
      *error = "user " + sub + " needs a NAME";
      return false;
    }
    if (!IsValidUserName(user.name)) {
      *error = "\"" + user.name + "\" is not a valid user name";
      return false;
    }
  }
  if (out->command == Command::kUserAdd && !have_uid) {
    *error = "user add needs --uid N";
    return false;
  }
  return true;
}

}  // namespace

const char kHostUsage[] =
    "usage: kinoro-host --listen ADDR:PORT --module PATH [--module PATH ...] [--workers N]\n"
    "                   [--user NAME] [--foreground] [--users-db PATH] [--access-log FILE]\n"
    "                   [--port-file FILE] [--session-idle SECONDS] [--lockout SECONDS]\n"
    "                   [--idle-timeout SECONDS] [--request-timeout SECONDS]\n"
    "                   [--max-connections-per-client N] [--max-workers N] [--spare-idle SECONDS]\n"
    "                   [--login-threads N] [--login-queue N] [--secure-cookies]\n"
    "                   [--drain-timeout SECONDS] [--web-root DIR] [--db FILE]\n"
    "                   [--plugins-conf FILE]\n"
    "       kinoro-host user add NAME --uid N [--admin] [--users-db PATH]  (password on stdin)\n"
    "       kinoro-host user del NAME [--users-db PATH]\n"
    "       kinoro-host user list [--users-db PATH]\n";

std::string DefaultUsersDb() { return KINORO_PATH("/etc/velm/users.db"); }

bool ParseListenAddress(const std::string& text, std::string* host, int* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string h = text.substr(0, colon);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']') return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string::npos) {
    return false;  // IPv6 needs brackets
  }
  long long p = 0;
  std::string port_text = text.substr(colon + 1);
  if (port_text.empty() || port_text[0] == '-' || !ParseNumber(port_text, 0, 65535, &p)) {
    return false;
  }
  *host = h;
  *port = static_cast<int>(p);
  return true;
}

bool IsValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
  *out = CommandLine();
  out->server.users_db = DefaultUsersDb();
  out->server.web_root = DefaultWebRoot();
  out->user.users_db = DefaultUsersDb();
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    out->command = Command::kHelp;
    return true;
  }
  ArgReader in(args);
  if (!args.empty() && args[0] == "user") {
    in.Next();
    return ParseUser(&in, out, error);
  }
  out->command = Command::kServe;
  return ParseServer(&in, &out->server, error);
}

}  // namespace host
}  // namespace kinoro
