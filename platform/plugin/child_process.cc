#include "platform/plugin/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace velm_plugin {
namespace {

using Clock = std::chrono::steady_clock;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A pipe whose both ends close on exec; the child's end loses the flag when
// it is moved onto 0, 1 or 2.
bool MakePipe(UniqueFd* read_end, UniqueFd* write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  *read_end = UniqueFd(fds[0]);
  *write_end = UniqueFd(fds[1]);
  return true;
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The child and everything in its process group. Killing the group while
// the child is still unreaped is safe: its pid, and so the group id, cannot
// be reused before the reap.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid = -1) : pid_(pid) {}
  ~ChildGuard() {
    if (pid_ > 0) KillAndReap();
  }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;

  pid_t pid() const { return pid_; }
  void Adopt(pid_t pid) { pid_ = pid; }
  // Forgets the child without a signal or a wait: it is not ours to end.
  void Forget() { pid_ = -1; }

  // Kills whatever is left of the group and returns the child's wait status
  // in `status`; false when it is lost: a process that sets SIGCHLD to
  // SIG_IGN has its children reaped by the kernel.
  bool KillAndReap(int* status = nullptr) {
    killpg(pid_, SIGKILL);
    int wait_status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid_, &wait_status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (status != nullptr) *status = wait_status;
    return reaped > 0;
  }

  // True once the child has ended (it stays a zombie until KillAndReap).
  bool Ended() const {
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      return errno != EINTR;  // ECHILD: nothing left to wait for
    }
    return info.si_pid != 0;
  }

 private:
  pid_t pid_;
};

// Who the program runs as: the caller's effective user and group as real,
// effective and saved ids, with that user's supplementary groups. A host
// worker keeps root as its real and saved uid so that it can switch to root
// for a moment; a program run with those ids could take root back.
struct Identity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

// Looked up before the fork: the user database is not async-signal-safe.
// A user without an entry gets its group alone.
Identity CallerIdentity() {
  Identity id{geteuid(), getegid(), {}};
  std::vector<char> buf(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(id.uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    int count = 32;
    for (int tries = 0; tries < 4; ++tries) {
      id.groups.resize(static_cast<size_t>(count));
      if (getgrouplist(pw.pw_name, id.gid, id.groups.data(), &count) >= 0) {
        id.groups.resize(static_cast<size_t>(count));
        break;
      }
      id.groups.clear();  // `count` now holds the size needed
    }
  }
  if (id.groups.empty()) id.groups.push_back(id.gid);
  return id;
}

// In the child: 0, or the errno of the step that failed. Changing the
// groups needs root; a caller that holds root as its real or saved uid takes
// it back for that step (in the child only). A caller without root anywhere
// cannot gain groups either, so the groups it has are left.
int TakeIdentity(const Identity& id) {
  uid_t ruid, euid, suid;
  if (getresuid(&ruid, &euid, &suid) != 0) return errno;
  const bool holds_root = ruid == 0 || euid == 0 || suid == 0;
  if (holds_root && euid != 0 &&
      setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) {
    return errno;
  }
  if (setgroups(id.groups.size(), id.groups.data()) != 0 && (holds_root || errno != EPERM)) {
    return errno;
  }
  if (setresgid(id.gid, id.gid, id.gid) != 0) return errno;
  if (setresuid(id.uid, id.uid, id.uid) != 0) return errno;
  return 0;
}

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// Only async-signal-safe calls from here to execve: the caller may have
// other threads, whose locks a forked child would inherit held.
[[noreturn]] void ExecChild(int in_fd, int out_fd, int err_fd, int status_fd, const char* program,
                            char* const* argv, char* const* envp, const char* cwd,
                            const Identity& identity) {
  setpgid(0, 0);

  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);

  // Lift the three ends above 2 first, so that none is overwritten by
  // another's dup2 when the parent itself ran without 0, 1 or 2.
  int moved[3] = {fcntl(in_fd, F_DUPFD_CLOEXEC, 3), fcntl(out_fd, F_DUPFD_CLOEXEC, 3),
                  fcntl(err_fd, F_DUPFD_CLOEXEC, 3)};
  int err = 0;
  for (int i = 0; i < 3 && err == 0; ++i) {
    if (moved[i] < 0 || dup2(moved[i], i) < 0) err = errno;
  }
  // Whatever else is open (descriptors the host opened without O_CLOEXEC)
  // closes on exec; the status pipe must stay open until then.
  if (err == 0 && close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    struct rlimit files = {};
    int max_fd = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                     ? static_cast<int>(files.rlim_cur)
                     : 65536;
    for (int fd = 3; fd < max_fd; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (err == 0) err = TakeIdentity(identity);
  if (err == 0 && cwd != nullptr && chdir(cwd) != 0) err = errno;
  if (err == 0) {
    execve(program, argv, envp);
    err = errno;
  }
  ssize_t ignored = write(status_fd, &err, sizeof(err));
  (void)ignored;
  _exit(127);
}

struct Stream {
  UniqueFd fd;
  std::string* text;
  size_t cap;
  bool over_cap = false;
};

// Reads what is there; false at end of stream or on error.
bool Drain(Stream* stream) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(stream->fd.get(), buf, sizeof(buf));
    if (n > 0) {
      size_t room = stream->cap - std::min(stream->cap, stream->text->size());
      stream->text->append(buf, std::min(room, static_cast<size_t>(n)));
      if (static_cast<size_t>(n) > room) stream->over_cap = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// The parent's side of a started child.
struct Spawned {
  UniqueFd in;        // its standard input (a socket)
  UniqueFd in_child;  // the child's end of it, when kept
  UniqueFd out;       // its standard output, non-blocking
  UniqueFd err;       // its standard error, non-blocking
};

// Forks and executes the program; the pid, or -1 with `result` saying why.
// Returns once execve has succeeded or failed. `keep_child_input` keeps the
// child's end of its standard input open here too: what it has not read
// then stays readable after it ends.
pid_t Spawn(const ChildOptions& options, bool keep_child_input, Spawned* spawned,
            ChildResult* result) {
  // Standard input is a socket so that writing to a child that stopped
  // reading gives EPIPE (MSG_NOSIGNAL) instead of a SIGPIPE to the host.
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
  UniqueFd in_parent(sv[0]), in_child(sv[1]);
  UniqueFd out_parent, out_child, err_parent, err_child, status_read, status_write;
  if (!MakePipe(&out_parent, &out_child) || !MakePipe(&err_parent, &err_child) ||
      !MakePipe(&status_read, &status_write) || !SetNonBlocking(out_parent.get()) ||
      !SetNonBlocking(err_parent.get())) {
    return -1;
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(options.program.c_str()));
  for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& var : options.env) envp.push_back(const_cast<char*>(var.c_str()));
  envp.push_back(nullptr);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  const Identity identity = CallerIdentity();

  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ExecChild(in_child.get(), out_child.get(), err_child.get(), status_write.get(),
              options.program.c_str(), argv.data(), envp.data(), cwd, identity);
  }
  // Also from this side, so that the group exists before any kill.
  setpgid(pid, pid);
  if (!keep_child_input) in_child.Reset();
  out_child.Reset();
  err_child.Reset();
  status_write.Reset();

  // End of file here means execve succeeded; an int is the child's errno.
  int exec_errno = 0;
  ssize_t got;
  while ((got = read(status_read.get(), &exec_errno, sizeof(exec_errno))) < 0 && errno == EINTR) {
  }
  if (got > 0) {
    ChildGuard(pid).KillAndReap();
    result->exit_code = 127;
    result->err = std::string("cannot run ") + options.program + ": " + strerror(exec_errno);
    return -1;
  }
  spawned->in = std::move(in_parent);
  spawned->in_child = std::move(in_child);
  spawned->out = std::move(out_parent);
  spawned->err = std::move(err_parent);
  return pid;
}

}  // namespace

ChildResult RunChild(const ChildOptions& options, const std::string& input) {
  ChildResult result;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(0, options.timeout_ms));
  Spawned spawned;
  const pid_t pid = Spawn(options, false, &spawned, &result);
  if (pid < 0) return result;
  ChildGuard child(pid);
  UniqueFd in_parent = std::move(spawned.in);
  UniqueFd out_parent = std::move(spawned.out);
  UniqueFd err_parent = std::move(spawned.err);

  Stream out{std::move(out_parent), &result.out, options.output_cap};
  Stream err{std::move(err_parent), &result.err, options.error_cap};
  size_t written = 0;
  if (input.empty()) in_parent.Reset();

  bool timed_out = false;
  while (out.fd.valid() || err.fd.valid()) {
    pollfd fds[3];
    nfds_t n = 0;
    int in_slot = -1, out_slot = -1, err_slot = -1;
    if (in_parent.valid()) {
      in_slot = static_cast<int>(n);
      fds[n++] = {in_parent.get(), POLLOUT, 0};
    }
    if (out.fd.valid()) {
      out_slot = static_cast<int>(n);
      fds[n++] = {out.fd.get(), POLLIN, 0};
    }
    if (err.fd.valid()) {
      err_slot = static_cast<int>(n);
      fds[n++] = {err.fd.get(), POLLIN, 0};
    }
    int left = MillisLeft(deadline);
    if (left == 0) {
      timed_out = true;
      break;
    }
    int ready = poll(fds, n, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (in_slot >= 0 && fds[in_slot].revents != 0) {
      ssize_t sent = send(in_parent.get(), input.data() + written, input.size() - written,
                          MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) written += static_cast<size_t>(sent);
      // Done, or the child will not read more: either way it sees the end.
      if (written == input.size() || (sent < 0 && errno != EAGAIN && errno != EINTR)) {
        in_parent.Reset();
      }
    }
    if (out_slot >= 0 && fds[out_slot].revents != 0) {
      if (!Drain(&out)) out.fd.Reset();
      if (out.over_cap) break;
    }
    if (err_slot >= 0 && fds[err_slot].revents != 0) {
      if (!Drain(&err)) err.fd.Reset();
      err.over_cap = false;  // extra diagnostics are dropped, not fatal
    }
  }

  // Both streams are closed; the child itself may still be finishing. A
  // pidfd wakes us the moment it ends; without one (kernels before 5.3),
  // poll its state with short pauses.
  if (!timed_out && !out.over_cap) {
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    int pause_ms = 1;
    while (!child.Ended()) {
      int left = MillisLeft(deadline);
      if (left == 0) {
        timed_out = true;
        break;
      }
      if (pidfd.valid()) {
        pollfd exited = {pidfd.get(), POLLIN, 0};
        poll(&exited, 1, left);
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(pause_ms, left)));
      pause_ms = std::min(pause_ms * 2, 20);
    }
  }

  int status = 0;
  const bool have_status = child.KillAndReap(&status);
  if (out.over_cap) {
    result.outcome = ChildOutcome::kOutputTooLarge;
  } else if (timed_out) {
    result.outcome = ChildOutcome::kTimedOut;
  } else if (!have_status) {
    result.outcome = ChildOutcome::kStatusLost;
  } else if (WIFEXITED(status)) {
    result.outcome = ChildOutcome::kExited;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.outcome = ChildOutcome::kSignaled;
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

std::string DescribeOutcome(const ChildResult& result) {
  switch (result.outcome) {
    case ChildOutcome::kExited:
      return "exited with status " + std::to_string(result.exit_code);
    case ChildOutcome::kSignaled:
      return "killed by signal " + std::to_string(result.term_signal);
    case ChildOutcome::kTimedOut:
      return "timed out";
    case ChildOutcome::kOutputTooLarge:
      return "wrote too much output";
    case ChildOutcome::kStatusLost:
      return "ended with an unknown status";
    case ChildOutcome::kStartFailed:
      break;
  }
  return "could not be started";
}

struct LineChild::State {
  ChildGuard child;
  UniqueFd in;
  // The child's end of its standard input, kept so that a request it never
  // read can be told from one it read and then died on.
  UniqueFd in_child;
  UniqueFd out;
  UniqueFd err;
  UniqueFd pidfd;  // invalid on kernels without pidfd_open: then polled
  int timeout_ms = 0;
  size_t output_cap = 0;
  size_t error_cap = 0;
};

LineChild::LineChild() = default;
LineChild::~LineChild() = default;

bool LineChild::Start(const ChildOptions& options, ChildResult* result) {
  state_.reset();
  *result = ChildResult();
  Spawned spawned;
  const pid_t pid = Spawn(options, true, &spawned, result);
  if (pid < 0) return false;
  auto state = std::make_unique<State>();
  state->child.Adopt(pid);
  state->in = std::move(spawned.in);
  state->in_child = std::move(spawned.in_child);
  state->out = std::move(spawned.out);
  state->err = std::move(spawned.err);
  state->pidfd = UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  state->timeout_ms = std::max(0, options.timeout_ms);
  state->output_cap = options.output_cap;
  state->error_cap = options.error_cap;
  state_ = std::move(state);
  return true;
}

bool LineChild::running() const { return state_ != nullptr; }

bool LineChild::Ready() {
  if (!state_) return false;
  // What it wrote to standard error while idle is dropped, so that the pipe
  // never fills and the next exchange's error text is its own.
  std::string ignored;
  Stream err{std::move(state_->err), &ignored, 0};
  const bool err_open = Drain(&err);
  state_->err = std::move(err.fd);
  if (!err_open) state_->err.Reset();

  pollfd out = {state_->out.get(), POLLIN, 0};
  const bool wrote = poll(&out, 1, 0) != 0;  // output, its end, or an error
  if (wrote || state_->child.Ended()) {
    state_.reset();
    return false;
  }
  return true;
}

bool LineChild::Exchange(const std::string& request, ChildResult* result, bool* unread) {
  *result = ChildResult();
  *unread = false;
  if (!state_) return false;
  State& st = *state_;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(st.timeout_ms);
  // The answer line and its newline; anything longer is over the cap.
  Stream out{std::move(st.out), &result->out, st.output_cap + 1};
  Stream err{std::move(st.err), &result->err, st.error_cap};
  size_t written = 0;
  size_t line_end = std::string::npos;
  bool ended = false;
  bool timed_out = false;
  bool in_failed = false;
  while (line_end == std::string::npos && !out.over_cap) {
    int left = MillisLeft(deadline);
    if (left == 0) {
      timed_out = true;
      break;
    }
    pollfd fds[4];
    nfds_t n = 0;
    int in_slot = -1, out_slot = -1, err_slot = -1, pid_slot = -1;
    if (written < request.size() && !in_failed) {
      in_slot = static_cast<int>(n);
      fds[n++] = {st.in.get(), POLLOUT, 0};
    }
    if (out.fd.valid()) {
      out_slot = static_cast<int>(n);
      fds[n++] = {out.fd.get(), POLLIN, 0};
    }
    if (err.fd.valid()) {
      err_slot = static_cast<int>(n);
      fds[n++] = {err.fd.get(), POLLIN, 0};
    }
    if (st.pidfd.valid()) {
      pid_slot = static_cast<int>(n);
      fds[n++] = {st.pidfd.get(), POLLIN, 0};
    } else {
      left = std::min(left, 20);  // no pidfd: look at the child now and then
    }
    int ready = poll(fds, n, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (in_slot >= 0 && fds[in_slot].revents != 0) {
      ssize_t sent = send(st.in.get(), request.data() + written, request.size() - written,
                          MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) written += static_cast<size_t>(sent);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) in_failed = true;
    }
    if (out_slot >= 0 && fds[out_slot].revents != 0) {
      const size_t before = out.text->size();
      if (!Drain(&out)) out.fd.Reset();
      line_end = out.text->find('\n', before);
    }
    if (err_slot >= 0 && fds[err_slot].revents != 0) {
      if (!Drain(&err)) err.fd.Reset();
      err.over_cap = false;  // extra diagnostics are dropped, not fatal
    }
    if (ended) break;  // the output was drained once more after the end
    // The child ended: what it wrote before is read once more above, in
    // case its answer and its end came together.
    ended = pid_slot >= 0 ? fds[pid_slot].revents != 0 : st.child.Ended();
    if (ended && !out.fd.valid()) break;
  }

  st.out = std::move(out.fd);
  st.err = std::move(err.fd);
  if (line_end != std::string::npos && line_end <= st.output_cap) {
    const bool more = line_end + 1 != result->out.size();
    result->out.resize(line_end);
    result->outcome = ChildOutcome::kExited;
    result->exit_code = 0;
    // Output beyond the answer belongs to no request: start afresh.
    if (more || ended || !st.out.valid()) state_.reset();
    return true;
  }
  if (!timed_out && !out.over_cap) {
    int queued = 0;
    *unread = result->out.empty() && ioctl(st.in_child.get(), FIONREAD, &queued) == 0 &&
              static_cast<size_t>(queued) == written;
  }
  int status = 0;
  const bool have_status = st.child.KillAndReap(&status);
  state_.reset();
  if (out.over_cap) {
    result->outcome = ChildOutcome::kOutputTooLarge;
  } else if (timed_out) {
    result->outcome = ChildOutcome::kTimedOut;
  } else if (!have_status) {
    result->outcome = ChildOutcome::kStatusLost;
  } else if (WIFEXITED(status)) {
    result->outcome = ChildOutcome::kExited;
    result->exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->outcome = ChildOutcome::kSignaled;
    result->term_signal = WTERMSIG(status);
  }
  result->out.clear();
  return false;
}

void LineChild::Abandon() {
  if (!state_) return;
  state_->child.Forget();
  state_.reset();
}

}  // namespace velm_plugin
