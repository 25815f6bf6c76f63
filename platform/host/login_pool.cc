#include "platform/host/login_pool.h"

#include <utility>

namespace kinoro {
namespace host {

LoginPool::LoginPool(std::vector<RequestHandler*> handlers, size_t queue_limit, Finish finish)
    : capacity_(handlers.size() + queue_limit), finish_(std::move(finish)) {
  for (RequestHandler* handler : handlers) {
    threads_.emplace_back([this, handler] { Loop(handler); });
  }
}

LoginPool::~LoginPool() {
  HttpResponse busy;
  busy.status = 503;
  Stop(busy);
}

bool LoginPool::Submit(HttpRequest request, void* tag) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || queue_.size() + running_ >= capacity_) return false;
    queue_.push_back(Job{std::move(request), tag});
  }
  wake_.notify_one();
  return true;
}

void LoginPool::Stop(const HttpResponse& refusal) {
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && threads_.empty()) return;
    stopping_ = true;
    left.swap(queue_);
  }
  wake_.notify_all();
  for (Job& job : left) finish_(job.tag, refusal);
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void LoginPool::Loop(RequestHandler* handler) {
  while (true) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      job = std::move(queue_.front());
      queue_.pop_front();
      ++running_;
    }
    HttpResponse response = handler->Handle(job.request);
    {
      std::lock_guard<std::mutex> lock(mu_);
      --running_;
    }
    finish_(job.tag, std::move(response));
  }
}

}  // namespace host
}  // namespace kinoro
