// One worker's HTTP front: libmicrohttpd on a listening socket shared with the
// other workers, one internal thread, so module calls run one at a time.
#ifndef KINORO_PLATFORM_HOST_HTTP_WORKER_H_
#define KINORO_PLATFORM_HOST_HTTP_WORKER_H_

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/host/access_log.h"
#include "platform/host/request_handler.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace kinoro {
namespace host {

struct HttpWorkerConfig {
  int listen_fd = -1;  // bound, listening, non-blocking; not owned
  int worker_index = 0;
  unsigned int idle_timeout_seconds = 30;
  size_t max_url_bytes = 8 * 1024;
  size_t max_body_bytes = 1024 * 1024;
  unsigned int max_connections = 1024;
};

class HttpWorker {
 public:
  // Neither pointer is owned.
  HttpWorker(RequestHandler* handler, AccessLog* access_log, const HttpWorkerConfig& config);
  ~HttpWorker();  // stops at once
  HttpWorker(const HttpWorker&) = delete;
  HttpWorker& operator=(const HttpWorker&) = delete;

  bool Start(std::string* error);
  // Stops accepting, lets requests already begun finish (their answers say
  // "Connection: close"), waiting at most `timeout_ms`, then closes every
  // connection. Returns false when the wait ran out.
  bool Drain(int timeout_ms);

  int in_flight() const { return in_flight_.load(); }

  // Called by libmicrohttpd (through trampolines in the .cc file).
  void* BeginRequest(const char* uri);
  int HandleRequest(MHD_Connection* connection, const char* method, const char* upload_data,
                    size_t* upload_data_size, void** request_context);
  void EndRequest(void** request_context);

 private:
  struct Request;
  int Answer(MHD_Connection* connection, Request* request, const HttpResponse& response);

  RequestHandler* handler_;
  AccessLog* access_log_;
  HttpWorkerConfig config_;
  MHD_Daemon* daemon_;
  std::atomic<int> in_flight_;
  std::atomic<bool> draining_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_HTTP_WORKER_H_
