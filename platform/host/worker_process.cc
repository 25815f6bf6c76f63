#include "platform/host/worker_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/host/access_log.h"
#include "platform/host/request_handler.h"
#include "platform/host/users_db.h"
#include "platform/host/worker_channel.h"

namespace kinoro {
namespace host {

namespace {

constexpr size_t kFileBodyFrom = 64 * 1024;
// Body files lent to the front and not given back yet; beyond this many
// (clients that read slowly) the oldest are let go, and the front's copy
// alone keeps each until its answer is sent.
constexpr size_t kMaxLent = 16;

// The body files the front holds, by inode number, until it gives them back.
class LentFiles {
 public:
  ~LentFiles() {
    for (const auto& entry : files_) close(entry.second);
  }
  // The recycler for a body file about to be handed over.
  std::function<void(int fd)> Lender(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return nullptr;
    return [this, inode = static_cast<uint64_t>(st.st_ino)](int fd) { Keep(inode, fd); };
  }
  // The files the front gave back go to `dispatcher` for reuse.
  void GiveBack(const std::vector<uint64_t>& inodes, Dispatcher* dispatcher) {
    for (uint64_t inode : inodes) {
      auto it = files_.find(inode);
      if (it == files_.end()) continue;  // let go meanwhile
      dispatcher->ReuseRawBodyFile(it->second);
      files_.erase(it);
    }
  }

 private:
  void Keep(uint64_t inode, int fd) {
    auto [it, added] = files_.emplace(inode, fd);
    if (!added) {  // cannot happen while we hold it; keep the newer
      close(it->second);
      it->second = fd;
      return;
    }
    order_.push_back(inode);
    while (files_.size() > kMaxLent && !order_.empty()) {
      auto old = files_.find(order_.front());
      order_.pop_front();
      if (old == files_.end()) continue;
      close(old->second);
      files_.erase(old);
    }
    if (order_.size() > 4 * kMaxLent) {  // drop inodes given back long ago
      std::deque<uint64_t> live;
      for (uint64_t inode : order_) {
        if (files_.count(inode) != 0) live.push_back(inode);
      }
      order_.swap(live);
    }
  }

  std::map<uint64_t, int> files_;
  std::deque<uint64_t> order_;
};

}  // namespace

int RunWorker(const WorkerSetup& setup) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_UNBLOCK, &chld, nullptr);  // modules may run and wait for children
  const int index = setup.index;

  std::string error;
  // Opened before the ids change: the files stay usable whoever owns them.
  UsersDb users;
  if (!users.Open(setup.options->users_db, &error) || !users.Warm(&error)) {
    syslog(LOG_ERR, "worker %d: %s", index, error.c_str());
    return kProcessStartFailed;
  }
  if (!SwitchToRunUser(*setup.user, &error)) {
    syslog(LOG_ERR, "worker %d: cannot run as %s: %s", index, setup.user->name.c_str(),
           error.c_str());
    return kProcessStartFailed;
  }
  // Set after the id change, which clears it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != setup.supervisor) return 0;

  // The signals stay blocked (inherited) and are read between calls, so a
  // call is never cut short by one.
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&wanted, sig);
  int signal_fd = signalfd(-1, &wanted, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0) {
    syslog(LOG_ERR, "worker %d: signalfd: %m", index);
    return kProcessStartFailed;
  }

  // Nothing in a worker writes to standard output but the modules.
  setup.dispatcher->KeepStdoutCaptured(true);
  // Images go to the front as the file they were written to; small answers
  // cost less copied than passed as a descriptor.
  setup.dispatcher->HandOverRawBodiesFrom(kFileBodyFrom);
  HandlerOptions handler_options;
  handler_options.secure_cookies = setup.options->secure_cookies;
  RequestHandler handler(setup.dispatcher, &users, setup.options->policy, handler_options);

  LentFiles lent;
  std::vector<uint64_t> released;
  std::string payload;
  while (true) {
    struct pollfd fds[2] = {{setup.channel_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[1].revents & POLLIN) != 0) {
      struct signalfd_siginfo info;
      while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGHUP) return 0;
        closelog();
        openlog("kinoro-host", setup.syslog_options, LOG_DAEMON);
        syslog(LOG_INFO, "worker %d: logs reopened", index);
      }
    }
    if (fds[0].revents == 0) continue;
    ReadResult got = ReadFrame(setup.channel_fd, kMaxRequestPayload, &payload);
    if (got == ReadResult::kClosed) return 0;  // the front retired us or went away
    HttpRequest request;
    if (got != ReadResult::kFrame || !DecodeRequest(payload, &request, &released)) {
      syslog(LOG_ERR, "worker %d: broken request frame from the front", index);
      return 1;
    }
    lent.GiveBack(released, setup.dispatcher);
    HttpResponse response = handler.Handle(request);
    std::string frame = EncodeAnswerFrame(response);
    const size_t body_bytes =
        response.body_file ? response.body_file->length : response.body.size();
    if (frame.size() - kFrameHeaderBytes > kMaxAnswerPayload || body_bytes > kMaxAnswerPayload) {
      syslog(LOG_ERR, "worker %d: %s %s: an answer of %zu bytes is more than the host sends", index,
             EscapeLogValue(response.api).c_str(), EscapeLogValue(response.api_method).c_str(),
             body_bytes);
      response.body_file.reset();
      HttpResponse refusal;
      refusal.status = 500;
      refusal.headers.emplace_back("Content-Type", "application/json");
      refusal.body = R"({"error":{"code":100},"success":false})";
      refusal.error_code = kErrorUnexpected;
      refusal.api = response.api;
      refusal.api_method = response.api_method;
      frame = EncodeAnswerFrame(refusal);
    }
    // The front reads a handed-over file until its answer is sent; only
    // then may a later answer be written over it.
    if (response.body_file) response.body_file->recycle = lent.Lender(response.body_file->fd);
    if (!WriteAnswerFrame(setup.channel_fd, frame,
                          response.body_file ? response.body_file->fd : -1)) {
      return 0;
    }
  }
}

}  // namespace host
}  // namespace kinoro
