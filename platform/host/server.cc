#include "platform/host/server.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "platform/host/access_log.h"
#include "platform/host/dispatcher.h"
#include "platform/host/http_worker.h"
#include "platform/host/privileges.h"
#include "platform/host/request_handler.h"
#include "platform/host/users_db.h"

namespace kinoro {
namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// A worker that dies sooner than this after its start is restarted only after
// the same delay, so a module that crashes at once does not spin the machine.
constexpr auto kQuickDeath = std::chrono::seconds(1);
constexpr int kWorkerStartFailed = 3;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string DescribeExit(int status) {
  char buf[128];
  if (WIFSIGNALED(status)) {
    snprintf(buf, sizeof buf, "was killed by signal %d (%s)%s", WTERMSIG(status),
             strsignal(WTERMSIG(status)), WCOREDUMP(status) ? ", core dumped" : "");
  } else {
    snprintf(buf, sizeof buf, "exited with status %d", WEXITSTATUS(status));
  }
  return buf;
}

bool WritePortFile(const std::string& path, int port, std::string* error) {
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    *error = "cannot write " + tmp + ": " + strerror(errno);
    return false;
  }
  fprintf(f, "%d\n", port);
  bool ok = fclose(f) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) *error = "cannot write " + path + ": " + strerror(errno);
  return ok;
}

// Workers reopen the access log after they dropped root; the supervisor makes
// sure the file exists and that they may write it.
void PrepareAccessLogFile(const std::string& path, const RunUser& user) {
  if (path.empty()) return;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return;  // the workers report it
  if (user.switch_ids) {
    if (fchown(fd, user.uid, user.gid) != 0) {
      syslog(LOG_WARNING, "cannot hand %s to %s: %s", path.c_str(), user.name.c_str(),
             strerror(errno));
    }
  }
  close(fd);
}

struct WorkerContext {
  const ServerOptions* options;
  Dispatcher* dispatcher;
  const RunUser* user;
  int listen_fd;
  pid_t supervisor;
  int syslog_options;
};

// Runs in the forked child; returns its exit status.
int WorkerMain(const WorkerContext& ctx, int index) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_UNBLOCK, &chld, nullptr);  // modules may run and wait for children

  std::string error;
  // Opened before the ids change: the files stay usable whoever owns them.
  UsersDb users;
  if (!users.Open(ctx.options->users_db, &error) || !users.Warm(&error)) {
    syslog(LOG_ERR, "worker %d: %s", index, error.c_str());
    return kWorkerStartFailed;
  }
  AccessLog access_log;
  if (!access_log.Open(ctx.options->access_log, &error)) {
    syslog(LOG_ERR, "worker %d: %s", index, error.c_str());
    return kWorkerStartFailed;
  }
  if (!SwitchToRunUser(*ctx.user, &error)) {
    syslog(LOG_ERR, "worker %d: cannot run as %s: %s", index, ctx.user->name.c_str(),
           error.c_str());
    return kWorkerStartFailed;
  }
  // Set after the id change, which clears it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != ctx.supervisor) return 0;

  // Nothing in a worker writes to standard output but the modules.
  ctx.dispatcher->KeepStdoutCaptured(true);
  RequestHandler handler(ctx.dispatcher, &users, ctx.options->policy);
  HttpWorkerConfig config;
  config.listen_fd = ctx.listen_fd;
  config.worker_index = index;
  config.idle_timeout_seconds = ctx.options->idle_timeout_seconds;
  HttpWorker worker(&handler, &access_log, config);
  if (!worker.Start(&error)) {
    syslog(LOG_ERR, "worker %d: %s", index, error.c_str());
    return kWorkerStartFailed;
  }

  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGTERM);
  sigaddset(&wanted, SIGINT);
  sigaddset(&wanted, SIGHUP);
  while (true) {
    int sig = 0;
    if (sigwait(&wanted, &sig) != 0) continue;
    if (sig == SIGHUP) {
      closelog();
      openlog("kinoro-host", ctx.syslog_options, LOG_DAEMON);
      if (access_log.Reopen(&error)) {
        syslog(LOG_INFO, "worker %d: logs reopened", index);
      } else {
        syslog(LOG_ERR, "worker %d: %s", index, error.c_str());
      }
      continue;
    }
    if (!worker.Drain(ctx.options->drain_timeout_seconds * 1000)) {
      syslog(LOG_WARNING, "worker %d: requests still running after %d s; closed", index,
             ctx.options->drain_timeout_seconds);
    }
    return 0;
  }
}

class Supervisor {
 public:
  Supervisor(const WorkerContext& ctx, int workers) : ctx_(ctx), slots_(workers) {}

  int Run();

 private:
  struct Slot {
    pid_t pid = 0;
    Clock::time_point started;
    bool restart_pending = false;
    Clock::time_point restart_at;
  };

  void Spawn(size_t index);
  void Reap(bool stopping);
  void StartDueWorkers();
  void Stop();
  int LiveWorkers() const;

  WorkerContext ctx_;
  std::vector<Slot> slots_;
};

void Supervisor::Spawn(size_t index) {
  Slot& slot = slots_[index];
  slot.restart_pending = false;
  pid_t pid = fork();
  if (pid < 0) {
    syslog(LOG_ERR, "cannot start worker %zu: %s", index + 1, strerror(errno));
    slot.restart_pending = true;
    slot.restart_at = Clock::now() + kQuickDeath;
    return;
  }
  if (pid == 0) {
    exit(WorkerMain(ctx_, static_cast<int>(index + 1)));
  }
  slot.pid = pid;
  slot.started = Clock::now();
}

int Supervisor::LiveWorkers() const {
  int n = 0;
  for (const Slot& s : slots_) n += s.pid > 0 ? 1 : 0;
  return n;
}

void Supervisor::Reap(bool stopping) {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& slot = slots_[i];
      if (slot.pid != pid) continue;
      slot.pid = 0;
      if (stopping) break;
      bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      syslog(clean ? LOG_WARNING : LOG_ERR, "worker %zu (pid %d) %s; starting a new one", i + 1,
             static_cast<int>(pid), DescribeExit(status).c_str());
      slot.restart_pending = true;
      slot.restart_at =
          Clock::now() - slot.started < kQuickDeath ? Clock::now() + kQuickDeath : Clock::now();
      break;
    }
  }
}

void Supervisor::StartDueWorkers() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].restart_pending && slots_[i].restart_at <= Clock::now()) Spawn(i);
  }
}

void Supervisor::Stop() {
  // Closing our copy of the socket is not enough while workers hold theirs;
  // they close it as they start draining.
  close(ctx_.listen_fd);
  for (const Slot& s : slots_) {
    if (s.pid > 0) kill(s.pid, SIGTERM);
  }
  auto deadline = Clock::now() + std::chrono::seconds(ctx_.options->drain_timeout_seconds + 5);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  while (LiveWorkers() > 0 && Clock::now() < deadline) {
    struct timespec wait = {0, 100 * 1000 * 1000};
    sigtimedwait(&chld, nullptr, &wait);
    Reap(true);
  }
  for (const Slot& s : slots_) {
    if (s.pid > 0) {
      syslog(LOG_ERR, "worker (pid %d) did not stop; killing it", static_cast<int>(s.pid));
      kill(s.pid, SIGKILL);
      waitpid(s.pid, nullptr, 0);
    }
  }
}

int Supervisor::Run() {
  for (size_t i = 0; i < slots_.size(); ++i) Spawn(i);
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&wanted, sig);
  while (true) {
    // Wake at the next pending restart, or at least once a second.
    auto wake = Clock::now() + std::chrono::seconds(1);
    for (const Slot& s : slots_) {
      if (s.restart_pending && s.restart_at < wake) wake = s.restart_at;
    }
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Clock::now()).count();
    if (ns < 0) ns = 0;
    struct timespec timeout = {static_cast<time_t>(ns / 1000000000),
                               static_cast<long>(ns % 1000000000)};
    int sig = sigtimedwait(&wanted, nullptr, &timeout);
    if (sig == SIGTERM || sig == SIGINT) {
      syslog(LOG_INFO, "stopping: finishing requests in flight");
      Stop();
      syslog(LOG_INFO, "stopped");
      return 0;
    }
    if (sig == SIGHUP) {
      PrepareAccessLogFile(ctx_.options->access_log, *ctx_.user);
      closelog();
      openlog("kinoro-host", ctx_.syslog_options, LOG_DAEMON);
      for (const Slot& s : slots_) {
        if (s.pid > 0) kill(s.pid, SIGHUP);
      }
    }
    Reap(false);
    StartDueWorkers();
  }
}

bool Daemonize(std::string* error) {
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + strerror(errno);
    return false;
  }
  if (pid > 0) _exit(0);
  setsid();
  if (chdir("/") != 0) {
    *error = std::string("chdir: ") + strerror(errno);
    return false;
  }
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  return true;
}

}  // namespace

int CreateListenSocket(const std::string& host, int port, int* bound_port, std::string* error) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  std::string port_text = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), port_text.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> list(found, freeaddrinfo);
  std::string last_error = "no address";
  for (struct addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    Fd fd(socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (fd.get() < 0) {
      last_error = strerror(errno);
      continue;
    }
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd.get(), 1024) != 0) {
      last_error = strerror(errno);
      continue;
    }
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), &len);
    *bound_port =
        ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_port
                                         : reinterpret_cast<struct sockaddr_in*>(&addr)->sin_port);
    return fd.Release();
  }
  *error = "cannot listen on " + host + ":" + port_text + ": " + last_error;
  return -1;
}

int RunServer(const ServerOptions& given) {
  // A daemon runs in "/", and workers open their files after that.
  ServerOptions options = given;
  for (std::string* path : {&options.users_db, &options.access_log, &options.port_file}) {
    if (!path->empty()) *path = std::filesystem::absolute(*path).string();
  }
  int syslog_options = LOG_PID | LOG_NDELAY | (options.foreground ? LOG_PERROR : 0);
  openlog("kinoro-host", syslog_options, LOG_DAEMON);
  auto fail = [](const std::string& message) {
    // Before the workers start, a failure is the starter's to see.
    fprintf(stderr, "kinoro-host: %s\n", message.c_str());
    return 1;
  };

  std::string error;
  Dispatcher dispatcher;
  for (const std::string& path : options.modules) {
    if (!dispatcher.LoadModule(path, &error)) return fail(error);
  }
  {
    UsersDb users;  // creates the file and tables; the workers open their own
    if (!users.Open(options.users_db, &error)) return fail(error);
  }
  RunUser user;
  if (!ResolveRunUser(options.user, &user, &error)) return fail(error);
  if (!options.access_log.empty()) {
    AccessLog probe;
    if (!probe.Open(options.access_log, &error)) return fail(error);
    PrepareAccessLogFile(options.access_log, user);
  }

  // Blocked before any fork, so no signal is lost between the fork and the
  // worker's sigwait; the workers inherit the mask.
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&blocked, sig);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);

  int port = 0;
  int listen_fd = CreateListenSocket(options.listen_host, options.port, &port, &error);
  if (listen_fd < 0) return fail(error);
  if (!options.foreground && !Daemonize(&error)) return fail(error);
  if (!options.port_file.empty() && !WritePortFile(options.port_file, port, &error)) {
    return fail(error);
  }

  int workers = options.workers;
  if (workers <= 0) {
    unsigned int cores = std::thread::hardware_concurrency();
    workers = cores > 0 ? static_cast<int>(cores) : 1;
  }
  syslog(LOG_INFO, "listening on %s:%d with %d worker%s", options.listen_host.c_str(), port,
         workers, workers == 1 ? "" : "s");
  WorkerContext ctx{&options, &dispatcher, &user, listen_fd, getpid(), syslog_options};
  Supervisor supervisor(ctx, workers);
  return supervisor.Run();
}

}  // namespace host
}  // namespace kinoro
