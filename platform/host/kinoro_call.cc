// kinoro-call: runs one API call through the host's dispatcher without HTTP,
// for scripts and for debugging a module.
//
//   kinoro-call --module PATH [--module PATH ...] --uid N [--admin]
//               API VERSION METHOD [name=value ...]
//
// Prints the JSON envelope on one line, or the raw answer exactly as the
// method wrote it. Exit status: 0 a success envelope or a raw answer, 1 an
// error envelope, 2 bad usage or a module that cannot be loaded.
#include <json/json.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/dispatcher.h"
#include "platform/host/wire_params.h"

namespace {

constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: kinoro-call --module PATH [--module PATH ...] --uid N [--admin] "
    "API VERSION METHOD [name=value ...]\n";

int Fail(const std::string& message) {
  fprintf(stderr, "kinoro-call: %s\n", message.c_str());
  return kExitUsage;
}

bool ParseUid(const char* text, unsigned int* uid) {
  if (*text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long v = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul) return false;
  *uid = static_cast<unsigned int>(v);
  return true;
}

bool WriteAll(const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(STDOUT_FILENO, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> modules;
  bool have_uid = false;
  unsigned int uid = 0;
  bool is_admin = false;
  std::vector<std::string> positional;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!positional.empty() || arg.empty() || arg[0] != '-') {
      positional.push_back(arg);
    } else if (arg == "--module" || arg == "--uid") {
      if (i + 1 >= argc) return Fail(arg + " needs a value");
      const char* value = argv[++i];
      if (arg == "--module") {
        modules.push_back(value);
      } else if (!ParseUid(value, &uid)) {
        return Fail(std::string("--uid takes a non-negative number, not \"") + value + "\"");
      } else {
        have_uid = true;
      }
    } else if (arg == "--admin") {
      is_admin = true;
    } else if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fputs(kUsage, stderr);
      return Fail("unknown option " + arg);
    }
  }
  if (modules.empty()) return Fail("no --module given");
  if (!have_uid) return Fail("no --uid given");
  if (positional.size() < 3) {
    fputs(kUsage, stderr);
    return Fail("API, VERSION and METHOD are required");
  }

  std::vector<kinoro::host::WireParam> pairs;
  for (size_t i = 3; i < positional.size(); ++i) {
    const std::string& arg = positional[i];
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      return Fail("parameter \"" + arg + "\" is not name=value");
    }
    pairs.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
  }
  Json::Value params;
  std::string error;
  if (!kinoro::host::BuildParams(pairs, &params, &error)) return Fail(error);

  // The module's log lines go to the system log and to our standard error.
  openlog("kinoro-call", LOG_PERROR | LOG_PID, LOG_USER);

  kinoro::host::Dispatcher dispatcher;
  for (const std::string& path : modules) {
    if (!dispatcher.LoadModule(path, &error)) return Fail(error);
  }
  kinoro::host::DispatchResult result =
      dispatcher.Call(positional[0], positional[1], positional[2], params, uid, is_admin);
  if (result.is_raw) {
    return WriteAll(result.raw_text) ? 0 : Fail("cannot write the answer");
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  writer["precision"] = 15;  // as the HTTP host writes numbers
  std::string line = Json::writeString(writer, result.envelope) + "\n";
  if (!WriteAll(line)) return Fail("cannot write the answer");
  int code = result.ErrorCode();
  if (code >= kinoro::host::kErrorMissingName && code <= kinoro::host::kErrorBadVersion) {
    fprintf(stderr, "kinoro-call: %s\n", kinoro::host::HostErrorText(code));
  }
  return code == 0 ? 0 : 1;
}
