#include "platform/host/http_worker.h"

#include <microhttpd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace kinoro {
namespace host {

struct HttpWorker::Request {
  std::string uri;  // raw request target, still percent-encoded
  std::chrono::steady_clock::time_point start;
  bool headers_seen = false;
  bool body_too_large = false;
  std::string body;
};

namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string Header(MHD_Connection* connection, const char* name) {
  const char* v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return v != nullptr ? v : "";
}

HttpResponse PlainError(int status, const char* text) {
  HttpResponse r;
  r.status = status;
  r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  r.body = std::string(text) + "\n";
  return r;
}

void* UriTrampoline(void* cls, const char* uri, MHD_Connection*) {
  return static_cast<HttpWorker*>(cls)->BeginRequest(uri);
}

MHD_Result RequestTrampoline(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char*, const char* upload_data, size_t* upload_data_size,
                             void** request_context) {
  return static_cast<HttpWorker*>(cls)->HandleRequest(connection, method, upload_data,
                                                      upload_data_size, request_context) == MHD_YES
             ? MHD_YES
             : MHD_NO;
}

void CompletedTrampoline(void* cls, MHD_Connection*, void** request_context,
                         MHD_RequestTerminationCode) {
  static_cast<HttpWorker*>(cls)->EndRequest(request_context);
}

}  // namespace

HttpWorker::HttpWorker(RequestHandler* handler, AccessLog* access_log,
                       const HttpWorkerConfig& config)
    : handler_(handler),
      access_log_(access_log),
      config_(config),
      daemon_(nullptr),
      in_flight_(0),
      draining_(false) {}

HttpWorker::~HttpWorker() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

void* HttpWorker::BeginRequest(const char* uri) {
  auto* request = new Request;
  request->uri = uri != nullptr ? uri : "";
  request->start = std::chrono::steady_clock::now();
  in_flight_.fetch_add(1);
  return request;
}

void HttpWorker::EndRequest(void** request_context) {
  auto* request = static_cast<Request*>(*request_context);
  if (request == nullptr) return;
  delete request;
  *request_context = nullptr;
  in_flight_.fetch_sub(1);
}

int HttpWorker::Answer(MHD_Connection* connection, Request* request, const HttpResponse& response) {
  MHD_Response* r = MHD_create_response_from_buffer(
      response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  for (const auto& h : response.headers) {
    MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
  }
  if (draining_.load()) MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
  int ret = MHD_queue_response(connection, static_cast<unsigned int>(response.status), r);
  MHD_destroy_response(r);

  AccessRecord record;
  record.worker = config_.worker_index;
  record.api = response.api;
  record.method = response.api_method;
  record.status = response.status;
  record.error_code = response.error_code;
  record.milliseconds = MillisecondsSince(request->start);
  access_log_->Write(record);
  return ret;
}

int HttpWorker::HandleRequest(MHD_Connection* connection, const char* method,
                              const char* upload_data, size_t* upload_data_size,
                              void** request_context) {
  auto* request = static_cast<Request*>(*request_context);
  if (request == nullptr) {
    // The URI callback always runs first; this is only a safety net.
    request = static_cast<Request*>(BeginRequest(""));
    *request_context = request;
  }

  if (!request->headers_seen) {
    request->headers_seen = true;
    if (request->uri.size() > config_.max_url_bytes) {
      return Answer(connection, request, PlainError(414, "request URL too long"));
    }
    std::string length = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!length.empty() && strtoull(length.c_str(), nullptr, 10) > config_.max_body_bytes) {
      return Answer(connection, request, PlainError(413, "request body too large"));
    }
    return MHD_YES;
  }

  if (*upload_data_size > 0) {
    if (request->body.size() + *upload_data_size > config_.max_body_bytes) {
      request->body_too_large = true;
      request->body.clear();
    }
    if (!request->body_too_large) request->body.append(upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (request->body_too_large) {
    return Answer(connection, request, PlainError(413, "request body too large"));
  }

  HttpRequest http;
  http.method = method;
  size_t question = request->uri.find('?');
  http.path = request->uri.substr(0, question);
  if (question != std::string::npos) http.query = request->uri.substr(question + 1);
  size_t hash = http.query.find('#');
  if (hash != std::string::npos) http.query.resize(hash);
  http.body = std::move(request->body);
  http.content_type = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  http.cookie = Header(connection, MHD_HTTP_HEADER_COOKIE);
  http.if_none_match = Header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH);
  return Answer(connection, request, handler_->Handle(http));
}

bool HttpWorker::Start(std::string* error) {
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &RequestTrampoline, this, MHD_OPTION_LISTEN_SOCKET,
      config_.listen_fd, MHD_OPTION_URI_LOG_CALLBACK, &UriTrampoline, this,
      MHD_OPTION_NOTIFY_COMPLETED, &CompletedTrampoline, this, MHD_OPTION_CONNECTION_TIMEOUT,
      config_.idle_timeout_seconds, MHD_OPTION_CONNECTION_LIMIT, config_.max_connections,
      // Room for a URL a little over the limit, so that we, not the library,
      // answer it.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024), MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "cannot start the HTTP server";
    return false;
  }
  return true;
}

bool HttpWorker::Drain(int timeout_ms) {
  if (daemon_ == nullptr) return true;
  draining_.store(true);
  int fd = MHD_quiesce_daemon(daemon_);
  if (fd >= 0) close(fd);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool drained = true;
  while (in_flight_.load() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      drained = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  return drained;
}

}  // namespace host
}  // namespace kinoro
