// kinoro-host as a child process on loopback for the HTTP tests, and a small
// libcurl client to talk to it. Used by host_http_test.cc only.
#ifndef KINORO_TESTS_HTTP_HOST_PROCESS_H_
#define KINORO_TESTS_HTTP_HOST_PROCESS_H_

#include <curl/curl.h>
#include <fcntl.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kinoro {
namespace http_test {

using kinoro_testing::ReadFile;
using kinoro_testing::TempDir;

inline bool WaitFor(pid_t pid, int* status, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Starts `args` with `in` as its standard input and `out` and `err` (files
// it creates) as its output and error; in a process group of its own when
// `own_group`, so that its children can be killed with it.
inline pid_t Spawn(std::vector<std::string> args, const std::string& in, const std::string& out,
                   const std::string& err, bool own_group) {
  pid_t pid = fork();
  if (pid == 0) {
    if (own_group) setpgid(0, 0);
    dup2(open(in.c_str(), O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a program to completion: its exit status (-1 when it was killed),
// with `input` on its standard input and its standard error (and output,
// when `out` is given) returned.
inline int RunProgram(const std::vector<std::string>& argv, const std::string& input,
                      std::string* err, std::string* out = nullptr) {
  TempDir dir;
  kinoro_testing::WriteFile(dir.File("in"), input);
  pid_t pid = Spawn(argv, dir.File("in"), dir.File("out"), dir.File("err"), false);
  if (pid < 0) return -1;  // and never kill(-1)
  int status = 0;
  if (!WaitFor(pid, &status, 30000)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  if (err != nullptr) *err = ReadFile(dir.File("err"));
  if (out != nullptr) *out = ReadFile(dir.File("out"));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class HostProcess {
 public:
  ~HostProcess() {  // kills what is still running
    if (pid_ <= 0) return;
    // The workers follow their supervisor (parent-death signal); the group
    // kill is for the case where they have not set it up yet.
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  // Adds a user through "kinoro-host user add" to this host's users.db.
  bool AddUser(const std::string& name, unsigned int uid, const std::string& password,
               bool admin = false) {
    std::string err;
    std::vector<std::string> args = {
        KINORO_HOST_BIN,      "user", "add", name, "--uid", std::to_string(uid), "--users-db",
        dir_.File("users.db")};
    if (admin) args.push_back("--admin");
    int rc = RunProgram(args, password + "\n", &err);
    if (rc != 0) fprintf(stderr, "user add failed (%d): %s", rc, err.c_str());
    return rc == 0;
  }

  // Starts the server with the test module and `extra` options (two workers
  // unless they say otherwise) and waits until it listens.
  bool Start(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {KINORO_HOST_BIN,    "--listen",
                                     "127.0.0.1:0",      "--module",
                                     KINORO_TEST_MODULE, "--foreground",
                                     "--workers",        "2",
                                     "--users-db",       dir_.File("users.db"),
                                     "--port-file",      dir_.File("port"),
                                     "--access-log",     dir_.File("access.log")};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = Spawn(args, "/dev/null", "/dev/null", dir_.File("stderr"), true);
    for (int waited = 0; waited < 15000; waited += 10) {
      std::string text = ReadFile(dir_.File("port"));
      if (!text.empty()) {
        port_ = atoi(text.c_str());
        return port_ > 0;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {  // it gave up
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void Signal(int sig) {  // to the supervisor
    if (pid_ > 0) kill(pid_, sig);
  }

  // Waits for the supervisor to exit: its exit status, or -1 when it was
  // killed or did not exit within `timeout_ms`.
  int Wait(int timeout_ms) {
    int status = 0;
    if (pid_ <= 0 || !WaitFor(pid_, &status, timeout_ms)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Url(const std::string& query) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/webapi/entry.cgi?" + query;
  }
  std::string Log() const { return ReadFile(dir_.File("stderr")); }  // its standard error
  const TempDir& dir() const { return dir_; }
  int port() const { return port_; }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct HttpResult {
  int curl_code = 0;  // 0 when an answer came back
  long status = 0;
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lower_name) const {
    auto it = headers.find(lower_name);
    return it == headers.end() ? "" : it->second;
  }
  Json::Value Json() const {
    Json::Value v;
    std::istringstream in(body);
    return Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr) ? v : Json::Value();
  }
  int ErrorCode() const {  // 0 on success, the envelope's code otherwise
    Json::Value v = Json();
    return v["success"].asBool() ? 0 : v["error"]["code"].asInt();
  }
};

struct HttpOptions {
  std::string method = "GET";
  std::string body;
  std::string content_type = "application/x-www-form-urlencoded";
  std::vector<std::string> headers;  // "Name: value"
  std::string source;                // the client's own address, e.g. "127.0.0.2"
  long timeout_ms = 10000;
};

// The value of parameter `name` in a form-encoded `text`; empty when absent.
// The tests send API and method names as they are, never encoded.
inline std::string FormValue(const std::string& text, const std::string& name) {
  std::istringstream pairs(text);
  for (std::string pair; std::getline(pairs, pair, '&');) {
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
  }
  return "";
}

// With KINORO_ANSWER_LOG naming a file, appends each JSON answer to it as one
// line {"api", "method", "status", "body"}: the API reference is checked
// against them (tests/schema). A body that is not JSON goes in as a string,
// which the check rejects.
inline void RecordAnswer(const std::string& url, const HttpOptions& options,
                         const HttpResult& result) {
  const char* log = getenv("KINORO_ANSWER_LOG");
  if (log == nullptr || *log == '\0' || result.curl_code != 0) return;
  if (result.Header("content-type").compare(0, 16, "application/json") != 0) return;
  // The API's answers only: static files (openapi.json itself) are not.
  const size_t question = url.find('?');
  const std::string path = url.substr(0, question), entry = "/webapi/entry.cgi";
  if (path.size() < entry.size() || path.substr(path.size() - entry.size()) != entry) return;
  std::string query = question == std::string::npos ? "" : url.substr(question + 1);
  std::string form = options.method == "POST" ? options.body : "";
  Json::Value line(Json::objectValue);
  for (const char* name : {"api", "method"}) {
    std::string value = FormValue(query, name);
    line[name] = value.empty() ? FormValue(form, name) : value;
  }
  line["status"] = static_cast<Json::Int>(result.status);
  const Json::Value body = result.Json();  // null when it is not JSON
  line["body"] = body.isNull() ? Json::Value(result.body) : body;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  std::string text = Json::writeString(writer, line) + "\n";
  // One write per line: tests running side by side append whole lines.
  int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, text.data(), text.size());
  (void)written;
  close(fd);
}

// One connection kept alive across requests (libcurl reuses it).
class HttpClient {
 public:
  HttpClient() : curl_(curl_easy_init()) {}
  ~HttpClient() { curl_easy_cleanup(curl_); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResult Fetch(const std::string& url, const HttpOptions& options = HttpOptions()) {
    HttpResult result;
    curl_easy_reset(curl_);
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_PATH_AS_IS, 1L);  // "/../" goes out as written
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, options.timeout_ms);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &result.headers);
    std::string source = "host!" + options.source;
    if (!options.source.empty()) curl_easy_setopt(curl_, CURLOPT_INTERFACE, source.c_str());
    struct curl_slist* headers = nullptr;
    for (const std::string& h : options.headers) headers = curl_slist_append(headers, h.c_str());
    if (options.method == "POST") {
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, options.body.c_str());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(options.body.size()));
      headers = curl_slist_append(headers, ("Content-Type: " + options.content_type).c_str());
      headers = curl_slist_append(headers, "Expect:");
    } else if (options.method == "HEAD") {
      curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    } else if (options.method != "GET") {
      curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, options.method.c_str());
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    result.curl_code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.status);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    RecordAnswer(url, options, result);
    return result;
  }

 private:
  static size_t CollectBody(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
  }
  static size_t CollectHeader(char* data, size_t size, size_t n, void* out) {
    std::string line(data, size * n);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
      static_cast<std::multimap<std::string, std::string>*>(out)->emplace(name, value);
    }
    return size * n;
  }

  CURL* curl_;
};

// A fresh connection per call.
inline HttpResult Fetch(const std::string& url, const HttpOptions& options = HttpOptions()) {
  return HttpClient().Fetch(url, options);
}

// A TCP connection to 127.0.0.1:`port`, with a receive buffer of about
// `receive_bytes` when not 0; -1 on failure.
inline int Connect(int port, int receive_bytes = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_bytes > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof(int));
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` (if any) on a new connection and reads until the server
// closes it (or stays silent for `timeout_ms`): everything the server sent.
inline std::string RawExchange(int port, const std::string& request, int timeout_ms = 5000) {
  int fd = Connect(port);
  struct timeval tv = {timeout_ms / 1000, timeout_ms % 1000 * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  char buf[4096];
  ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  while (n >= 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, n);
  close(fd);
  return answer;
}

}  // namespace http_test
}  // namespace kinoro

#endif  // KINORO_TESTS_HTTP_HOST_PROCESS_H_
