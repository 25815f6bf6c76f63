#include "tests/http/host_process.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace kinoro {
namespace http_test {
namespace {

bool WaitFor(pid_t pid, int* status, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

size_t CollectBody(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

size_t CollectHeader(char* data, size_t size, size_t n, void* out) {
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

// Starts `args` with `in` as its standard input and `out` and `err` (files
// it creates) as its output and error; in a process group of its own when
// `own_group`, so that its children can be killed with it.
pid_t Spawn(std::vector<std::string> args, const std::string& in, const std::string& out,
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

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int RunProgram(const std::vector<std::string>& argv, const std::string& input, std::string* err,
               std::string* out) {
  host::TempDir dir;
  {
    std::ofstream in(dir.File("in"), std::ios::binary);
    in << input;
  }
  pid_t pid = Spawn(argv, dir.File("in"), dir.File("out"), dir.File("err"), false);
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

HostProcess::HostProcess() = default;

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    // The workers follow their supervisor (parent-death signal); the group
    // kill is for the case where they have not set it up yet.
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool HostProcess::AddUser(const std::string& name, unsigned int uid, const std::string& password,
                          bool is_admin) {
  std::vector<std::string> args = {
      KINORO_HOST_BIN,      "user", "add", name, "--uid", std::to_string(uid), "--users-db",
      dir_.File("users.db")};
  if (is_admin) args.push_back("--admin");
  std::string err;
  int rc = RunProgram(args, password + "\n", &err);
  if (rc != 0) fprintf(stderr, "user add failed (%d): %s", rc, err.c_str());
  return rc == 0;
}

bool HostProcess::Start(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {
      KINORO_HOST_BIN,    "--listen",        "127.0.0.1:0",  "--module",
      KINORO_TEST_MODULE, "--foreground",    "--users-db",   dir_.File("users.db"),
      "--port-file",      dir_.File("port"), "--access-log", dir_.File("access.log")};
  args.insert(args.end(), extra.begin(), extra.end());
  if (std::find(extra.begin(), extra.end(), "--workers") == extra.end()) {
    args.push_back("--workers");
    args.push_back("2");
  }
  pid_ = Spawn(args, "/dev/null", "/dev/null", dir_.File("stderr"), true);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string text = ReadFile(dir_.File("port"));
    if (!text.empty()) {
      port_ = atoi(text.c_str());
      return port_ > 0;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void HostProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int HostProcess::Wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  int status = 0;
  if (!WaitFor(pid_, &status, timeout_ms)) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HostProcess::Url(const std::string& query) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/webapi/entry.cgi?" + query;
}

std::string HostProcess::Log() const { return ReadFile(dir_.File("stderr")); }

std::string HttpResult::Header(const std::string& lower_name) const {
  auto it = headers.find(lower_name);
  return it == headers.end() ? "" : it->second;
}

Json::Value HttpResult::Json() const {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  std::string errs;
  if (!r->parse(body.data(), body.data() + body.size(), &v, &errs)) return Json::Value();
  return v;
}

int HttpResult::ErrorCode() const {
  Json::Value v = Json();
  return v["success"].asBool() ? 0 : v["error"]["code"].asInt();
}

HttpClient::HttpClient() : curl_(curl_easy_init()) {}

HttpClient::~HttpClient() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

HttpResult HttpClient::Fetch(const std::string& url, const HttpOptions& options) {
  HttpResult result;
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.timeout_ms);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.headers);
  std::string source = "host!" + options.source;
  if (!options.source.empty()) curl_easy_setopt(curl, CURLOPT_INTERFACE, source.c_str());
  struct curl_slist* headers = nullptr;
  for (const std::string& h : options.headers) headers = curl_slist_append(headers, h.c_str());
  if (options.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, options.body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(options.body.size()));
    headers = curl_slist_append(headers, ("Content-Type: " + options.content_type).c_str());
    headers = curl_slist_append(headers, "Expect:");
  } else if (options.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, options.method.c_str());
  }
  if (!options.cookie.empty()) curl_easy_setopt(curl, CURLOPT_COOKIE, options.cookie.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  result.curl_code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  return result;
}

HttpResult Fetch(const std::string& url, const HttpOptions& options) {
  HttpClient client;
  return client.Fetch(url, options);
}

int ConnectFrom(const std::string& source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in from = {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string RawExchange(int port, const std::string& request, int timeout_ms) {
  int fd = ConnectFrom("127.0.0.1", port);
  if (fd < 0) return "";
  std::string answer;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      struct pollfd p = {fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

}  // namespace http_test
}  // namespace kinoro
