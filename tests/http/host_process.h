// kinoro-host as a child process on loopback for the HTTP tests, and a small
// libcurl client to talk to it.
#ifndef KINORO_TESTS_HTTP_HOST_PROCESS_H_
#define KINORO_TESTS_HTTP_HOST_PROCESS_H_

#include <json/json.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/host/testdata/temp_dir.h"

namespace kinoro {
namespace http_test {

// Runs a program to completion: its exit status (-1 when it was killed),
// with `input` on its standard input and its standard error (and output,
// when `out` is given) returned.
int RunProgram(const std::vector<std::string>& argv, const std::string& input, std::string* err,
               std::string* out = nullptr);

class HostProcess {
 public:
  HostProcess();
  ~HostProcess();  // kills what is still running

  // Adds a user through "kinoro-host user add" to this host's users.db.
  bool AddUser(const std::string& name, unsigned int uid, const std::string& password,
               bool is_admin = false);
  // Starts the server with the test module and `extra` options and waits
  // until it listens.
  bool Start(const std::vector<std::string>& extra = {});
  // Sends `sig` to the supervisor.
  void Signal(int sig);
  // Waits for the supervisor to exit: its exit status, or -1 when it was
  // killed or did not exit within `timeout_ms`.
  int Wait(int timeout_ms);

  std::string Url(const std::string& query) const;
  std::string Log() const;  // the server's standard error so far
  const host::TempDir& dir() const { return dir_; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

 private:
  host::TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct HttpResult {
  int curl_code = 0;  // 0 when an answer came back
  long status = 0;
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lower_name) const;
  Json::Value Json() const;
  int ErrorCode() const;  // 0 on success, the envelope's code otherwise
};

struct HttpOptions {
  std::string method = "GET";
  std::string body;
  std::string content_type = "application/x-www-form-urlencoded";
  std::vector<std::string> headers;  // "Name: value"
  std::string cookie;
  std::string source;  // the client's own address, e.g. "127.0.0.2"
  long timeout_ms = 10000;
};

// One connection kept alive across requests (libcurl reuses it).
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
  HttpResult Fetch(const std::string& url, const HttpOptions& options = HttpOptions());

 private:
  void* curl_;
};

// A fresh connection per call.
HttpResult Fetch(const std::string& url, const HttpOptions& options = HttpOptions());

// A TCP connection to 127.0.0.1:`port` from `source`; -1 on failure.
int ConnectFrom(const std::string& source, int port);
// Sends `request` on a new connection and reads until the server closes it or
// `timeout_ms` pass: everything the server sent.
std::string RawExchange(int port, const std::string& request, int timeout_ms = 5000);

std::string ReadFile(const std::string& path);

}  // namespace http_test
}  // namespace kinoro

#endif  // KINORO_TESTS_HTTP_HOST_PROCESS_H_
