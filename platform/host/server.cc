#include "platform/host/server.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "libkinoro/api.h"
#include "platform/host/access_log.h"
#include "platform/host/dispatcher.h"
#include "platform/host/front.h"
#include "platform/host/privileges.h"
#include "platform/host/request_handler.h"
#include "platform/host/users_db.h"
#include "platform/host/worker_channel.h"
#include "platform/host/worker_process.h"
#include "platform/plugin/plugin_config.h"

namespace kinoro {
namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// A process that dies sooner than this after its start is restarted only
// after the same delay, so a module that crashes at once does not spin the
// machine.
constexpr auto kQuickDeath = std::chrono::seconds(1);

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

// The front reopens the access log after it dropped root; the supervisor
// makes sure the file exists and that it may write it.
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

// What every child of the supervisor starts from.
struct ProcessContext {
  const ServerOptions* options;
  Dispatcher* dispatcher;
  const RunUser* user;
  int listen_fd;
  pid_t supervisor;
  int syslog_options;
  int workers;
  int max_workers;
  unsigned int max_connections;
};

// Runs in the forked front; returns its exit status.
int FrontMain(const ProcessContext& ctx, int control_fd) {
  signal(SIGPIPE, SIG_IGN);
  const ServerOptions& options = *ctx.options;
  std::string error;
  // Opened before the ids change: the files stay usable whoever owns them.
  AccessLog access_log;
  if (!access_log.Open(options.access_log, &error)) {
    syslog(LOG_ERR, "front: %s", error.c_str());
    return kProcessStartFailed;
  }
  std::vector<std::unique_ptr<UsersDb>> users;
  for (int i = 0; i < options.login_threads; ++i) {
    users.push_back(std::make_unique<UsersDb>());
    if (!users.back()->Open(options.users_db, &error) || !users.back()->Warm(&error)) {
      syslog(LOG_ERR, "front: %s", error.c_str());
      return kProcessStartFailed;
    }
  }
  if (!DropToRunUser(*ctx.user, &error)) {
    syslog(LOG_ERR, "front: cannot run as %s: %s", ctx.user->name.c_str(), error.c_str());
    return kProcessStartFailed;
  }
  // Set after the id change, which clears it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != ctx.supervisor) return 0;

  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&wanted, sig);
  Fd signal_fd(signalfd(-1, &wanted, SFD_NONBLOCK | SFD_CLOEXEC));
  if (signal_fd.get() < 0) {
    syslog(LOG_ERR, "front: signalfd: %s", strerror(errno));
    return kProcessStartFailed;
  }

  HandlerOptions handler_options;
  handler_options.secure_cookies = options.secure_cookies;
  std::vector<std::unique_ptr<RequestHandler>> handlers;
  std::vector<RequestHandler*> login_handlers;
  for (auto& db : users) {
    // Logins never reach a module; the dispatcher is there for the type.
    handlers.push_back(std::make_unique<RequestHandler>(ctx.dispatcher, db.get(), options.policy,
                                                        handler_options));
    login_handlers.push_back(handlers.back().get());
  }

  FrontConfig config;
  config.listen_fd = ctx.listen_fd;
  config.control_fd = control_fd;
  config.idle_timeout_seconds = options.idle_timeout_seconds;
  config.request_timeout_seconds = options.request_timeout_seconds;
  config.max_connections = ctx.max_connections;
  config.max_connections_per_client = options.max_connections_per_client;
  config.workers = ctx.workers;
  config.max_workers = ctx.max_workers;
  config.spare_idle_seconds = options.spare_idle_seconds;
  config.login_queue = static_cast<size_t>(options.login_queue);
  config.drain_timeout_seconds = options.drain_timeout_seconds;
  config.handler_options = handler_options;
  config.web_root = options.web_root;
  Front front(config, login_handlers, &access_log);
  if (!front.Start(&error)) {
    syslog(LOG_ERR, "%s", error.c_str());
    return kProcessStartFailed;
  }
  return front.Run(signal_fd.get(), [&] {
    closelog();
    openlog("kinoro-host", ctx.syslog_options, LOG_DAEMON);
    if (access_log.Reopen(&error)) {
      syslog(LOG_INFO, "front: logs reopened");
    } else {
      syslog(LOG_ERR, "front: %s", error.c_str());
    }
  });
}

// The only process that forks: single-threaded, so that no child starts with
// a lock (syslog, SQLite, malloc) held by a thread that does not exist there.
class Supervisor {
 public:
  explicit Supervisor(const ProcessContext& ctx) : ctx_(ctx), slots_(ctx.workers) {}

  int Run();

 private:
  struct Slot {
    pid_t pid = 0;
    Clock::time_point started;
    bool restart_pending = true;
    Clock::time_point restart_at;
  };

  void StartFront();
  // Forks a worker and hands its channel to the front. False when it could
  // not.
  bool StartWorker(int index, bool spare, pid_t* pid);
  void StartDue();
  void ReadControl();
  void Reap();
  void OnExit(pid_t pid, int status);
  int LiveWorkers() const;
  Clock::time_point NextWake() const;
  void Stop();

  ProcessContext ctx_;
  Fd signal_fd_;
  Fd control_fd_;  // our end; open while a front runs
  pid_t front_pid_ = 0;
  Clock::time_point front_started_;
  bool front_restart_pending_ = true;
  Clock::time_point front_restart_at_;
  std::vector<Slot> slots_;      // the regular workers, index i + 1
  std::map<int, pid_t> spares_;  // index -> pid
  std::vector<pid_t> leaving_;   // workers of a front that died
  bool stopping_ = false;
};

void Supervisor::StartFront() {
  front_restart_pending_ = false;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    syslog(LOG_ERR, "cannot start the front: socketpair: %s", strerror(errno));
    front_restart_pending_ = true;
    front_restart_at_ = Clock::now() + kQuickDeath;
    return;
  }
  Fd ours(pair[0]), theirs(pair[1]);
  pid_t pid = fork();
  if (pid < 0) {
    syslog(LOG_ERR, "cannot start the front: %s", strerror(errno));
    front_restart_pending_ = true;
    front_restart_at_ = Clock::now() + kQuickDeath;
    return;
  }
  if (pid == 0) {
    ours.Reset();
    signal_fd_.Reset();
    exit(FrontMain(ctx_, theirs.get()));
  }
  fcntl(ours.get(), F_SETFL, fcntl(ours.get(), F_GETFL) | O_NONBLOCK);
  control_fd_.Reset(ours.Release());
  front_pid_ = pid;
  front_started_ = Clock::now();
}

bool Supervisor::StartWorker(int index, bool spare, pid_t* pid_out) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    syslog(LOG_ERR, "cannot start worker %d: socketpair: %s", index, strerror(errno));
    return false;
  }
  Fd front_end(pair[0]), worker_end(pair[1]);
  pid_t pid = fork();
  if (pid < 0) {
    syslog(LOG_ERR, "cannot start worker %d: %s", index, strerror(errno));
    return false;
  }
  if (pid == 0) {
    // A worker holds its own channel end and nothing else of ours: not the
    // listening socket, not the front's control socket.
    front_end.Reset();
    control_fd_.Reset();
    signal_fd_.Reset();
    close(ctx_.listen_fd);
    WorkerSetup setup;
    setup.options = ctx_.options;
    setup.dispatcher = ctx_.dispatcher;
    setup.user = ctx_.user;
    setup.channel_fd = worker_end.get();
    setup.index = index;
    setup.supervisor = ctx_.supervisor;
    setup.syslog_options = ctx_.syslog_options;
    exit(RunWorker(setup));
  }
  ChannelNote note;
  note.index = index;
  note.pid = pid;
  note.spare = spare ? 1 : 0;
  // When this fails the front is gone: the worker sees its channel close,
  // exits, and is started again with the next front.
  SendChannel(control_fd_.get(), note, front_end.get());
  *pid_out = pid;
  return true;
}

int Supervisor::LiveWorkers() const {
  int n = static_cast<int>(spares_.size());
  for (const Slot& s : slots_) n += s.pid > 0 ? 1 : 0;
  return n;
}

void Supervisor::StartDue() {
  auto now = Clock::now();
  if (front_pid_ == 0) {
    if (!front_restart_pending_ || front_restart_at_ > now) return;
    StartFront();
    if (front_pid_ == 0) return;
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (!slot.restart_pending || slot.restart_at > now) continue;
    slot.restart_pending = false;
    if (StartWorker(static_cast<int>(i + 1), false, &slot.pid)) {
      slot.started = Clock::now();
    } else {
      slot.restart_pending = true;
      slot.restart_at = now + kQuickDeath;
    }
  }
}

void Supervisor::ReadControl() {
  char wishes[64];
  while (control_fd_.get() >= 0) {
    ssize_t n = recv(control_fd_.get(), wishes, sizeof wishes, MSG_DONTWAIT);
    if (n <= 0) return;  // a closed front is seen through its exit
    for (ssize_t i = 0; i < n; ++i) {
      if (wishes[i] != kSpareWanted || stopping_ || LiveWorkers() >= ctx_.max_workers) continue;
      int index = ctx_.workers + 1;
      while (spares_.count(index) != 0) ++index;
      pid_t pid = 0;
      if (StartWorker(index, true, &pid)) spares_[index] = pid;
    }
  }
}

void Supervisor::OnExit(pid_t pid, int status) {
  bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  auto leaving = std::find(leaving_.begin(), leaving_.end(), pid);
  if (leaving != leaving_.end()) {
    leaving_.erase(leaving);
    return;
  }
  auto now = Clock::now();
  if (pid == front_pid_) {
    front_pid_ = 0;
    control_fd_.Reset();
    if (stopping_) return;
    syslog(clean ? LOG_WARNING : LOG_ERR, "front (pid %d) %s; starting a new one with new workers",
           static_cast<int>(pid), DescribeExit(status).c_str());
    front_restart_pending_ = true;
    front_restart_at_ = now - front_started_ < kQuickDeath ? now + kQuickDeath : now;
    // Their channels went with the front. They finish the call they are in,
    // see the channel closed and exit.
    for (Slot& slot : slots_) {
      if (slot.pid > 0) {
        kill(slot.pid, SIGTERM);
        leaving_.push_back(slot.pid);
      }
      slot.pid = 0;
      slot.restart_pending = true;
      slot.restart_at = front_restart_at_;
    }
    for (const auto& spare : spares_) {
      kill(spare.second, SIGTERM);
      leaving_.push_back(spare.second);
    }
    spares_.clear();
    return;
  }
  for (auto it = spares_.begin(); it != spares_.end(); ++it) {
    if (it->second != pid) continue;
    // A spare is never replaced: the front asks again when it needs one.
    if (!clean && !stopping_) {
      syslog(LOG_ERR, "spare worker %d (pid %d) %s", it->first, static_cast<int>(pid),
             DescribeExit(status).c_str());
    }
    spares_.erase(it);
    return;
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (slot.pid != pid) continue;
    slot.pid = 0;
    if (stopping_) return;
    syslog(clean ? LOG_WARNING : LOG_ERR, "worker %zu (pid %d) %s; starting a new one", i + 1,
           static_cast<int>(pid), DescribeExit(status).c_str());
    slot.restart_pending = true;
    slot.restart_at = now - slot.started < kQuickDeath ? now + kQuickDeath : now;
    return;
  }
}

void Supervisor::Reap() {
  std::vector<std::pair<pid_t, int>> exits;
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) exits.emplace_back(pid, status);
  // A front's death comes first: its workers' exits that follow it (their
  // channels closed) belong to it, not to a worker fault.
  std::stable_partition(exits.begin(), exits.end(),
                        [this](const std::pair<pid_t, int>& e) { return e.first == front_pid_; });
  for (const auto& e : exits) OnExit(e.first, e.second);
}

Clock::time_point Supervisor::NextWake() const {
  // At the next pending start, or at least once a second.
  auto wake = Clock::now() + std::chrono::seconds(1);
  if (front_pid_ == 0 && front_restart_pending_ && front_restart_at_ < wake) {
    wake = front_restart_at_;
  }
  for (const Slot& s : slots_) {
    if (s.restart_pending && s.restart_at < wake) wake = s.restart_at;
  }
  return wake;
}

void Supervisor::Stop() {
  stopping_ = true;
  // The front stops accepting and finishes what it holds; then it closes the
  // channels and the workers exit on their own. Our copy of the socket goes
  // now, so that nothing listens once the front has closed its own.
  close(ctx_.listen_fd);
  if (front_pid_ > 0) kill(front_pid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(ctx_.options->drain_timeout_seconds + 5);
  auto anyone_left = [this] { return front_pid_ > 0 || LiveWorkers() > 0 || !leaving_.empty(); };
  while (anyone_left() && Clock::now() < deadline) {
    struct pollfd fd = {signal_fd_.get(), POLLIN, 0};
    poll(&fd, 1, 100);
    struct signalfd_siginfo info;
    while (read(signal_fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    Reap();
    if (front_pid_ == 0) {
      // Without a front, a worker between calls has nothing more to do.
      for (const Slot& s : slots_) {
        if (s.pid > 0) kill(s.pid, SIGTERM);
      }
      for (const auto& spare : spares_) kill(spare.second, SIGTERM);
    }
  }
  std::vector<pid_t> left(leaving_);
  if (front_pid_ > 0) left.push_back(front_pid_);
  for (const Slot& s : slots_) {
    if (s.pid > 0) left.push_back(s.pid);
  }
  for (const auto& spare : spares_) left.push_back(spare.second);
  for (pid_t pid : left) {
    syslog(LOG_ERR, "process %d did not stop; killing it", static_cast<int>(pid));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

int Supervisor::Run() {
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&wanted, sig);
  signal_fd_.Reset(signalfd(-1, &wanted, SFD_NONBLOCK | SFD_CLOEXEC));
  if (signal_fd_.get() < 0) {
    syslog(LOG_ERR, "signalfd: %s", strerror(errno));
    return 1;
  }
  front_restart_at_ = Clock::now();
  for (Slot& s : slots_) s.restart_at = Clock::now();
  StartDue();
  while (true) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(NextWake() - Clock::now());
    struct pollfd fds[2] = {{signal_fd_.get(), POLLIN, 0}, {control_fd_.get(), POLLIN, 0}};
    poll(fds, control_fd_.get() >= 0 ? 2 : 1, std::max<int>(0, static_cast<int>(ms.count())));
    struct signalfd_siginfo info;
    while (read(signal_fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      int sig = static_cast<int>(info.ssi_signo);
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
        if (front_pid_ > 0) kill(front_pid_, SIGHUP);
        for (const Slot& s : slots_) {
          if (s.pid > 0) kill(s.pid, SIGHUP);
        }
        for (const auto& spare : spares_) kill(spare.second, SIGHUP);
      }
    }
    Reap();
    ReadControl();
    StartDue();
  }
}

// Raises the soft limit on descriptors to the hard one; returns the limit.
unsigned int RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlim_t wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur > 1u << 20 ? 1u << 20 : static_cast<unsigned int>(limit.rlim_cur);
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
    if (bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd.get(), SOMAXCONN) != 0) {
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
  for (std::string* path : {&options.users_db, &options.access_log, &options.port_file,
                            &options.web_root, &options.db, &options.plugins_conf}) {
    if (!path->empty()) *path = std::filesystem::absolute(*path).string();
  }
  // Set here, before any fork: every worker's module reads these.
  if (!options.db.empty()) LibKinoro::db::SetDatabasePath(options.db);
  if (!options.plugins_conf.empty()) velm_plugin::SetPluginConfPath(options.plugins_conf);
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

  // Blocked before any fork, so no signal is lost between a fork and the
  // child's signalfd; the children inherit the mask.
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
  int max_workers = options.max_workers > 0 ? options.max_workers : workers + 4;
  max_workers = std::max(max_workers, workers);
  // Each connection holds a descriptor in the front; leave room for its own
  // (channels, users.db, logs, libmicrohttpd's) and size the limit from the
  // rest.
  unsigned int fd_limit = RaiseDescriptorLimit();
  unsigned int reserve = 64 + static_cast<unsigned int>(max_workers + 4 * options.login_threads);
  unsigned int max_connections = fd_limit > reserve + 16 ? fd_limit - reserve : 16;
  syslog(LOG_INFO, "listening on %s:%d with %d worker%s (up to %d), %u connections",
         options.listen_host.c_str(), port, workers, workers == 1 ? "" : "s", max_workers,
         max_connections);
  ProcessContext ctx{&options,       &dispatcher, &user,       listen_fd,      getpid(),
                     syslog_options, workers,     max_workers, max_connections};
  Supervisor supervisor(ctx);
  return supervisor.Run();
}

}  // namespace host
}  // namespace kinoro
