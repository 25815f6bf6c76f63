// The front's login threads. Password hashing costs a large part of a second
// on purpose; it runs only here, on a fixed number of threads with a bounded
// queue, so a flood of logins costs a bounded share of the machine and never
// holds up the HTTP threads.
#ifndef KINORO_PLATFORM_HOST_LOGIN_POOL_H_
#define KINORO_PLATFORM_HOST_LOGIN_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/request_handler.h"

namespace kinoro {
namespace host {

class LoginPool {
 public:
  // Called on a pool thread (or in Stop) with the answer for `tag`.
  using Finish = std::function<void(void* tag, HttpResponse response)>;

  // One thread per handler; each handler (and its users.db connection) is
  // used by its thread alone. Not owned.
  LoginPool(std::vector<RequestHandler*> handlers, size_t queue_limit, Finish finish);
  ~LoginPool();  // Stop() with a plain 503
  LoginPool(const LoginPool&) = delete;
  LoginPool& operator=(const LoginPool&) = delete;

  // Takes the request when a thread is free or the queue has room; false
  // (nothing taken) otherwise.
  bool Submit(HttpRequest request, void* tag);
  // Answers what still waits with `refusal`, lets the running logins finish
  // and joins the threads. Submit refuses from then on.
  void Stop(const HttpResponse& refusal);

 private:
  struct Job {
    HttpRequest request;
    void* tag = nullptr;
  };
  void Loop(RequestHandler* handler);

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  size_t running_ = 0;
  size_t capacity_;  // threads plus the queue limit
  bool stopping_ = false;
  Finish finish_;
  std::vector<std::thread> threads_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_LOGIN_POOL_H_
