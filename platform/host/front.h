// kinoro-host's front process: the only one that speaks HTTP. libmicrohttpd
// reads whole requests on a few threads; what the front can answer from the
// request's form (refusals, login and logout) it answers itself, and each
// module call goes to an idle worker process over that worker's channel while
// its connection stays suspended. No HTTP thread ever waits for a module call
// or a password hash, and a keep-alive connection is tied to no worker.
#ifndef KINORO_PLATFORM_HOST_FRONT_H_
#define KINORO_PLATFORM_HOST_FRONT_H_

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/host/access_log.h"
#include "platform/host/login_pool.h"
#include "platform/host/request_handler.h"
#include "platform/host/static_files.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace kinoro {
namespace host {

struct FrontConfig {
  int listen_fd = -1;   // bound and listening; closed when the front stops accepting
  int control_fd = -1;  // SOCK_SEQPACKET to the supervisor; not owned
  unsigned int http_threads = 2;
  unsigned int idle_timeout_seconds = 30;
  unsigned int request_timeout_seconds = 10;
  unsigned int max_connections = 1024;
  unsigned int max_connections_per_client = 64;
  size_t max_url_bytes = 8 * 1024;
  size_t max_body_bytes = 1024 * 1024;
  size_t max_queued = 1024;  // module calls waiting for a worker
  int workers = 1;
  int max_workers = 5;
  int spare_idle_seconds = 60;
  size_t login_queue = 32;
  int drain_timeout_seconds = 30;
  HandlerOptions handler_options;
  std::string web_root;  // the page's files, answered by the front itself
};

// The address a client's counters are kept under: an IPv4 address (also
// when mapped into IPv6) as is, an IPv6 address by its /64 network, which is
// what one client holds.
std::string ClientKey(const struct sockaddr* address);

class Front {
 public:
  // `login_handlers`: one per login thread, used by that thread alone.
  // Nothing is owned.
  Front(const FrontConfig& config, std::vector<RequestHandler*> login_handlers,
        AccessLog* access_log);
  ~Front();
  Front(const Front&) = delete;
  Front& operator=(const Front&) = delete;

  bool Start(std::string* error);
  // Serves until SIGTERM or SIGINT arrives on `signal_fd` (a signalfd), then
  // stops accepting, finishes the requests it holds (answering what is left
  // at the drain timeout with 503) and returns the exit status. SIGHUP calls
  // `on_sighup`.
  int Run(int signal_fd, const std::function<void()>& on_sighup);

  // libmicrohttpd's callbacks (through trampolines in the .cc file).
  void* BeginRequest(MHD_Connection* connection, const char* uri);
  int HandleRequest(MHD_Connection* connection, const char* method, const char* version,
                    const char* upload_data, size_t* upload_data_size, void** request_context);
  void EndRequest(MHD_Connection* connection, void** request_context);
  void ConnectionClosed(MHD_Connection* connection);

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending;
  struct Channel;
  struct ReleasedFiles;

  int Answer(MHD_Connection* connection, Pending* pending, const HttpResponse& response);
  // Hands `pending` its answer and resumes its suspended connection; the
  // pending request belongs to the HTTP threads again from then on.
  void Settle(Pending* pending, HttpResponse response);
  void StopTimer(MHD_Connection* connection);

  // The scheduler: runs on Run()'s thread.
  void ReceiveChannels();
  void AddChannel(int fd, int index, int pid, bool spare);
  void DropChannel(Channel* channel, const char* why);
  void ReadAnswer(Channel* channel);
  void FlushRequest(Channel* channel);
  void Dispatch();
  void ManageSpares();
  void CutLateRequests();
  void BeginDrain();
  void SettleEverything();
  void WatchChannel(Channel* channel, bool want_write);

  FrontConfig config_;
  AccessLog* access_log_;
  StaticFiles static_files_;
  std::unique_ptr<LoginPool> login_pool_;
  std::vector<RequestHandler*> login_handlers_;
  MHD_Daemon* daemon_ = nullptr;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: a request was queued
  std::atomic<bool> draining_{false};
  // Set once the scheduler stopped: requests are refused, not handed over.
  std::atomic<bool> stopped_{false};
  std::atomic<int> in_flight_{0};  // requests from their request line to their end

  // Requests still being received, with the time by which they must be whole.
  struct Timer {
    int fd;
    Clock::time_point deadline;
  };
  std::mutex timers_mu_;
  std::unordered_map<MHD_Connection*, Timer> timers_;

  std::mutex queue_mu_;
  std::deque<Pending*> queue_;

  std::vector<std::unique_ptr<Channel>> channels_;
  // Workers' body files whose answers are sent, until the worker's next
  // request frame gives them back. Shared with the files' recyclers, which
  // may run after the front is gone.
  std::shared_ptr<ReleasedFiles> released_;
  bool spare_asked_ = false;
  Clock::time_point spare_asked_at_;
  Clock::time_point drain_deadline_;
  long cuts_unreported_ = 0;
  Clock::time_point cuts_reported_at_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_FRONT_H_
