#include "platform/host/front.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <thread>
#include <utility>

#include "platform/host/worker_channel.h"

namespace kinoro {
namespace host {

struct Front::Pending {
  MHD_Connection* connection = nullptr;
  std::string uri;  // raw request target, still percent-encoded
  Clock::time_point start;
  bool head_checked = false;
  bool too_large = false;
  bool handed_over = false;  // suspended until someone settles it
  std::string body;
  HttpRequest request;          // for a worker, until it is sent
  std::string api, api_method;  // for the logs
  Clock::time_point queued_at;
  int worker = 0;
  // Written by whoever settles the request, before the connection resumes.
  HttpResponse response;
  std::atomic<bool> answered{false};
};

struct Front::Channel {
  int fd = -1;  // -1 once dropped; swept after the event round
  int index = 0;
  int pid = 0;
  bool spare = false;
  Pending* current = nullptr;
  std::string out;  // the request frame being sent
  size_t out_done = 0;
  std::string in;  // answer bytes read so far
  int passed_fd = -1;  // a body file that came with the answer being read
  Clock::time_point idle_since;
  bool watching_write = false;

  ~Channel() {
    if (passed_fd >= 0) close(passed_fd);
  }
};

struct Front::ReleasedFiles {
  std::mutex mu;
  std::vector<std::pair<int, uint64_t>> files;  // worker pid, inode

  void Add(int pid, uint64_t inode) {
    std::lock_guard<std::mutex> lock(mu);
    // A bound for files of workers that are gone; a file not given back
    // stays with the worker, which lets it go in time.
    if (files.size() >= 4 * kMaxReleasedFiles) files.clear();
    files.emplace_back(pid, inode);
  }
  std::vector<uint64_t> Take(int pid) {
    std::vector<uint64_t> out;
    std::lock_guard<std::mutex> lock(mu);
    auto mine = std::stable_partition(files.begin(), files.end(),
                                      [pid](const auto& f) { return f.first != pid; });
    for (auto it = mine; it != files.end() && out.size() < kMaxReleasedFiles; ++it) {
      out.push_back(it->second);
    }
    files.erase(mine, files.end());
    return out;
  }
};

namespace {

using Clock = std::chrono::steady_clock;

// A module call that waits this long for a worker is refused instead.
constexpr auto kMaxQueueWait = std::chrono::seconds(30);
// A spare asked for that did not come (the supervisor was at its limit or
// could not fork) may be asked for again after this.
constexpr auto kSpareRetry = std::chrono::seconds(2);
// The scheduler's tick: the resolution of the request time bound.
constexpr int kTickMs = 100;
// How long the stopped front lets libmicrohttpd send the last answers.
constexpr auto kLastAnswersWait = std::chrono::seconds(2);
// A body declared too large but no larger than this is read and dropped
// before the 413 goes out; a larger one is refused at once.
constexpr unsigned long long kMaxBodyDiscarded = 8ull << 20;
// Requests cut for slowness are summed up in the log at most this often.
constexpr auto kCutReportEvery = std::chrono::seconds(60);

// epoll tags of the fixed descriptors; channels are tagged by address.
constexpr uint64_t kSignalTag = 1;
constexpr uint64_t kControlTag = 2;
constexpr uint64_t kWakeTag = 3;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

HttpResponse TextAnswer(int status, const char* text) {
  HttpResponse r;
  r.status = status;
  r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  r.body = std::string(text) + "\n";
  return r;
}

HttpResponse BusyAnswer() {
  HttpResponse r = TextAnswer(503, "busy; try again shortly");
  r.headers.emplace_back("Retry-After", "1");
  return r;
}

// A worker that died or broke its channel mid-call: the client gets an
// answer in the envelope's terms rather than a reset connection.
HttpResponse WorkerLostAnswer() {
  HttpResponse r;
  r.status = 500;
  r.headers.emplace_back("Content-Type", "application/json");
  r.body = R"({"error":{"code":100},"success":false})";
  r.error_code = 100;
  return r;
}

std::string Header(MHD_Connection* connection, const char* name) {
  const char* v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return v != nullptr ? v : "";
}

// Framing facts of a request head. libmicrohttpd 0.9.75 takes the first of
// two Content-Length headers, lets Transfer-Encoding win over Content-Length
// and accepts HTTP/1.1 without Host; a proxy in front may read the same head
// otherwise, so such heads are refused.
struct HeadFacts {
  int lengths = 0;
  bool lengths_differ = false;
  std::string first_length;
  int encodings = 0;
  std::string encoding;
  int hosts = 0;
};

MHD_Result CountHead(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* facts = static_cast<HeadFacts*>(cls);
  std::string v = value != nullptr ? value : "";
  if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
    if (facts->lengths++ == 0) {
      facts->first_length = v;
    } else if (v != facts->first_length) {
      facts->lengths_differ = true;
    }
  } else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
    ++facts->encodings;
    facts->encoding = v;
  } else if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) {
    ++facts->hosts;
  }
  return MHD_YES;
}

// The refusal of a request head, or nullptr when it may proceed.
const char* RefuseHead(MHD_Connection* connection, const char* version, int* status) {
  HeadFacts facts;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &CountHead, &facts);
  *status = 400;
  if (facts.lengths_differ) return "conflicting Content-Length headers";
  if (facts.lengths > 0 && facts.encodings > 0) {
    return "Content-Length and Transfer-Encoding together";
  }
  if (facts.encodings > 1 ||
      (facts.encodings == 1 && strcasecmp(facts.encoding.c_str(), "chunked") != 0)) {
    return "only Transfer-Encoding: chunked is understood";
  }
  if (facts.hosts > 1) return "more than one Host header";
  if (facts.hosts == 0 && strcmp(version, MHD_HTTP_VERSION_1_1) == 0) {
    return "HTTP/1.1 needs a Host header";
  }
  return nullptr;
}

ssize_t NoBody(void*, uint64_t, char*, size_t) { return MHD_CONTENT_READER_END_OF_STREAM; }

void* UriTrampoline(void* cls, const char* uri, MHD_Connection* connection) {
  return static_cast<Front*>(cls)->BeginRequest(connection, uri);
}

MHD_Result RequestTrampoline(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char* version, const char* upload_data, size_t* upload_data_size,
                             void** request_context) {
  return static_cast<Front*>(cls)->HandleRequest(connection, method, version, upload_data,
                                                 upload_data_size, request_context) == MHD_YES
             ? MHD_YES
             : MHD_NO;
}

void CompletedTrampoline(void* cls, MHD_Connection* connection, void** request_context,
                         MHD_RequestTerminationCode) {
  static_cast<Front*>(cls)->EndRequest(connection, request_context);
}

void ConnectionTrampoline(void* cls, MHD_Connection* connection, void**,
                          MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) static_cast<Front*>(cls)->ConnectionClosed(connection);
}

}  // namespace

std::string ClientKey(const struct sockaddr* address) {
  if (address == nullptr) return "";
  char text[INET6_ADDRSTRLEN];
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(address);
    return inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr ? text : "";
  }
  if (address->sa_family == AF_INET6) {
    struct in6_addr a = reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
      return inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text) != nullptr ? text : "";
    }
    memset(&a.s6_addr[8], 0, 8);
    if (inet_ntop(AF_INET6, &a, text, sizeof text) == nullptr) return "";
    return std::string(text) + "/64";
  }
  return "";
}

Front::Front(const FrontConfig& config, std::vector<RequestHandler*> login_handlers,
             AccessLog* access_log)
    : config_(config),
      access_log_(access_log),
      static_files_(config.web_root),
      login_handlers_(std::move(login_handlers)),
      released_(std::make_shared<ReleasedFiles>()) {}

Front::~Front() {
  if (login_pool_) login_pool_->Stop(BusyAnswer());
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  for (auto& ch : channels_) {
    if (ch->fd >= 0) close(ch->fd);
  }
  if (epoll_fd_ >= 0) close(epoll_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

// ---- HTTP threads ----

void* Front::BeginRequest(MHD_Connection* connection, const char* uri) {
  auto* pending = new Pending;
  pending->connection = connection;
  pending->uri = uri != nullptr ? uri : "";
  pending->start = Clock::now();
  in_flight_.fetch_add(1);
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) {
    std::lock_guard<std::mutex> lock(timers_mu_);
    timers_[connection] = Timer{
        info->connect_fd, pending->start + std::chrono::seconds(config_.request_timeout_seconds)};
  }
  return pending;
}

void Front::StopTimer(MHD_Connection* connection) {
  std::lock_guard<std::mutex> lock(timers_mu_);
  timers_.erase(connection);
}

void Front::EndRequest(MHD_Connection* connection, void** request_context) {
  StopTimer(connection);
  auto* pending = static_cast<Pending*>(*request_context);
  if (pending == nullptr) return;
  *request_context = nullptr;
  if (pending->handed_over && !pending->answered.load(std::memory_order_acquire)) {
    // Only a stop with requests still held could end one here; the holder
    // still points at it, so it is left rather than freed under it.
    syslog(LOG_ERR, "front: a request ended while a worker still held it");
    return;
  }
  delete pending;
  in_flight_.fetch_sub(1);
}

void Front::ConnectionClosed(MHD_Connection* connection) {
  // Before libmicrohttpd closes the descriptor: the timer table never holds
  // a number that may already belong to another connection.
  StopTimer(connection);
}

namespace {

// A worker's body file mapped for libmicrohttpd, which copies it into the
// socket as it goes. When libmicrohttpd lets the answer go, the mapping and
// the file go with it, and the worker may write over the file again: sent
// bytes are the socket's own by then, which is why the worker's files are not
// sent with sendfile(), whose pages stay referenced until the peer has them.
struct MappedBody {
  void* base = MAP_FAILED;
  size_t size = 0;
  SharedBodyFile file;
};

void ReleaseMappedBody(void* cls) {
  auto* body = static_cast<MappedBody*>(cls);
  munmap(body->base, body->size);
  delete body;  // the last hold on the file: it goes back to its worker
}

MHD_Response* MappedBodyResponse(const SharedBodyFile& file) {
  if (file->length == 0 || file->offset > SIZE_MAX - file->length) return nullptr;
  auto body = std::make_unique<MappedBody>();
  body->size = static_cast<size_t>(file->offset + file->length);
  body->base = mmap(nullptr, body->size, PROT_READ, MAP_SHARED | MAP_POPULATE, file->fd, 0);
  if (body->base == MAP_FAILED) return nullptr;
  body->file = file;
  char* data = static_cast<char*>(body->base) + file->offset;
  MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
      static_cast<size_t>(file->length), data, &ReleaseMappedBody, body.get());
  if (r == nullptr) {
    munmap(body->base, body->size);
    return nullptr;
  }
  body.release();
  return r;
}

}  // namespace

int Front::Answer(MHD_Connection* connection, Pending* pending, const HttpResponse& response) {
  MHD_Response* r = nullptr;
  if (response.status == 304) {
    // A 304 carries no Content-Length (RFC 9110 8.6). libmicrohttpd 0.9.75
    // writes one for every known size, 0 included, and an unknown size
    // means chunked encoding, whose last chunk a 304 must not have; with
    // chunking ruled out it writes none, at the price of closing the
    // connection after the answer.
    r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, &NoBody, nullptr, nullptr);
    if (r != nullptr) MHD_set_response_options(r, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
  } else if (response.body_file) {
    // A worker's file, which it wants back, is copied out of a mapping; any
    // other (a static file) goes with sendfile(), which libmicrohttpd does
    // on its own copy of the descriptor.
    if (response.body_file->recycle) r = MappedBodyResponse(response.body_file);
    if (r == nullptr) {
      response.body_file->recycle = nullptr;  // sent from its pages: never written over
      const int fd = fcntl(response.body_file->fd, F_DUPFD_CLOEXEC, 0);
      if (fd >= 0) {
        r = MHD_create_response_from_fd_at_offset64(response.body_file->length, fd,
                                                    response.body_file->offset);
        if (r == nullptr) close(fd);
      }
    }
  } else {
    r = MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  if (r == nullptr) return MHD_NO;
  for (const auto& h : response.headers) {
    MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
  }
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  if (draining_.load()) MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
  int ret = MHD_queue_response(connection, static_cast<unsigned int>(response.status), r);
  MHD_destroy_response(r);

  AccessRecord record;
  record.worker = pending->worker;
  record.api = response.api.empty() ? pending->api : response.api;
  record.method = response.api_method.empty() ? pending->api_method : response.api_method;
  record.status = response.status;
  record.error_code = response.error_code;
  record.milliseconds = MillisecondsSince(pending->start);
  access_log_->Write(record);
  return ret;
}

void Front::Settle(Pending* pending, HttpResponse response) {
  pending->response = std::move(response);
  pending->answered.store(true, std::memory_order_release);
  MHD_resume_connection(pending->connection);
}

int Front::HandleRequest(MHD_Connection* connection, const char* method, const char* version,
                         const char* upload_data, size_t* upload_data_size,
                         void** request_context) {
  auto* pending = static_cast<Pending*>(*request_context);
  if (pending == nullptr) {
    // The URI callback always runs first; this is only a safety net.
    pending = static_cast<Pending*>(BeginRequest(connection, ""));
    *request_context = pending;
  }
  if (pending->answered.load(std::memory_order_acquire)) {
    return Answer(connection, pending, pending->response);
  }
  if (pending->handed_over) return MHD_YES;

  if (!pending->head_checked) {
    pending->head_checked = true;
    int status = 0;
    const char* refusal = nullptr;
    if (pending->uri.size() > config_.max_url_bytes) {
      status = 414;
      refusal = "request URL too long";
    } else {
      refusal = RefuseHead(connection, version, &status);
    }
    if (refusal == nullptr) {
      std::string length = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
      unsigned long long declared = length.empty() ? 0 : strtoull(length.c_str(), nullptr, 10);
      if (declared > kMaxBodyDiscarded) {
        status = 413;
        refusal = "request body too large";
      } else if (declared > config_.max_body_bytes) {
        // Answering before the body is read would close the connection with
        // unread bytes, and the reset could reach the client before the
        // answer; a body of moderate size is read and dropped first.
        pending->too_large = true;
      }
    }
    if (refusal != nullptr) {
      StopTimer(connection);
      return Answer(connection, pending, TextAnswer(status, refusal));
    }
    return MHD_YES;
  }

  if (*upload_data_size > 0) {
    if (pending->body.size() + *upload_data_size > config_.max_body_bytes) {
      pending->too_large = true;
      pending->body.clear();
    }
    if (!pending->too_large) pending->body.append(upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }

  // The whole request is in: the time bound no longer applies.
  StopTimer(connection);
  if (pending->too_large) {
    return Answer(connection, pending, TextAnswer(413, "request body too large"));
  }
  HttpRequest request;
  request.method = method;
  size_t question = pending->uri.find('?');
  request.path = pending->uri.substr(0, question);
  if (question != std::string::npos) request.query = pending->uri.substr(question + 1);
  size_t hash = request.query.find('#');
  if (hash != std::string::npos) request.query.resize(hash);
  request.body = std::move(pending->body);
  request.content_type = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  request.cookie = Header(connection, MHD_HTTP_HEADER_COOKIE);
  request.if_none_match = Header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH);
  const MHD_ConnectionInfo* peer =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (peer != nullptr) request.client = ClientKey(peer->client_addr);

  // A file takes an open() and an fstat() on this thread, and is sent by
  // libmicrohttpd; no worker is involved.
  if (StaticFiles::Claims(request.path)) {
    return Answer(connection, pending, static_files_.Serve(request));
  }
  HttpResponse answer;
  Route route = RouteRequest(request, config_.handler_options, &answer);
  pending->api = answer.api;
  pending->api_method = answer.api_method;
  if (route == Route::kAnswered) return Answer(connection, pending, answer);
  if (stopped_.load()) return Answer(connection, pending, BusyAnswer());

  // Suspended before anyone else can see it: only a suspended connection may
  // be resumed.
  pending->handed_over = true;
  MHD_suspend_connection(connection);
  if (route == Route::kAuth) {
    if (!login_pool_->Submit(std::move(request), pending)) Settle(pending, BusyAnswer());
    return MHD_YES;
  }
  pending->request = std::move(request);
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    if (queue_.size() < config_.max_queued) {
      pending->queued_at = Clock::now();
      queue_.push_back(pending);
      queued = true;
    }
  }
  if (!queued) {
    Settle(pending, BusyAnswer());
    return MHD_YES;
  }
  uint64_t one = 1;
  ssize_t ignored = write(wake_fd_, &one, sizeof one);
  (void)ignored;
  return MHD_YES;
}

// ---- The scheduler ----

bool Front::Start(std::string* error) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (wake_fd_ < 0 || epoll_fd_ < 0) {
    *error = std::string("front: ") + strerror(errno);
    return false;
  }
  login_pool_ = std::make_unique<LoginPool>(
      login_handlers_, config_.login_queue, [this](void* tag, HttpResponse response) {
        Settle(static_cast<Pending*>(tag), std::move(response));
      });
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &RequestTrampoline, this, MHD_OPTION_LISTEN_SOCKET,
      config_.listen_fd, MHD_OPTION_THREAD_POOL_SIZE, config_.http_threads,
      MHD_OPTION_URI_LOG_CALLBACK, &UriTrampoline, this, MHD_OPTION_NOTIFY_COMPLETED,
      &CompletedTrampoline, this, MHD_OPTION_NOTIFY_CONNECTION, &ConnectionTrampoline, this,
      MHD_OPTION_CONNECTION_TIMEOUT, config_.idle_timeout_seconds, MHD_OPTION_CONNECTION_LIMIT,
      config_.max_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      config_.max_connections_per_client,
      // Room for a URL a little over the limit, so that we, not the library,
      // answer it.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024), MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "front: cannot start the HTTP server";
    return false;
  }
  return true;
}

void Front::WatchChannel(Channel* channel, bool want_write) {
  struct epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLRDHUP | (want_write ? static_cast<uint32_t>(EPOLLOUT) : 0u);
  ev.data.ptr = channel;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, channel->fd, &ev);
  channel->watching_write = want_write;
}

void Front::AddChannel(int fd, int index, int pid, bool spare) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  auto channel = std::make_unique<Channel>();
  channel->fd = fd;
  channel->index = index;
  channel->pid = pid;
  channel->spare = spare;
  channel->idle_since = Clock::now();
  struct epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = channel.get();
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    syslog(LOG_ERR, "front: cannot watch worker %d: %s", index, strerror(errno));
    close(fd);
    return;
  }
  if (spare) {
    spare_asked_ = false;
    syslog(LOG_INFO, "front: spare worker %d (pid %d) joined", index, pid);
  }
  channels_.push_back(std::move(channel));
}

void Front::ReceiveChannels() {
  while (true) {
    ChannelNote note;
    int fd = -1;
    int r = ReceiveChannel(config_.control_fd, &note, &fd);
    if (r < 0) return;
    if (r == 0) {
      // The supervisor is gone; nobody would replace a worker any more.
      syslog(LOG_ERR, "front: the supervisor went away; stopping");
      epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, config_.control_fd, nullptr);
      BeginDrain();
      return;
    }
    AddChannel(fd, note.index, note.pid, note.spare != 0);
  }
}

void Front::DropChannel(Channel* channel, const char* why) {
  if (channel->current != nullptr) {
    Pending* pending = channel->current;
    channel->current = nullptr;
    syslog(LOG_ERR, "front: worker %d (pid %d) %s while serving %s %s; answered 500",
           channel->index, channel->pid, why, EscapeLogValue(pending->api).c_str(),
           EscapeLogValue(pending->api_method).c_str());
    pending->worker = channel->index;
    Settle(pending, WorkerLostAnswer());
  }
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, channel->fd, nullptr);
  close(channel->fd);
  channel->fd = -1;
  if (channel->passed_fd >= 0) close(channel->passed_fd);
  channel->passed_fd = -1;
}

void Front::ReadAnswer(Channel* channel) {
  bool closed = false;
  char buf[64 * 1024];
  while (true) {
    int fd = -1;
    bool truncated = false;
    ssize_t n = ReceiveWithFd(channel->fd, buf, sizeof buf, MSG_DONTWAIT, &fd, &truncated);
    if (fd >= 0) {
      if (channel->passed_fd >= 0) close(channel->passed_fd);
      channel->passed_fd = fd;
    }
    if (truncated) {
      DropChannel(channel, "sent a malformed answer");
      return;
    }
    if (n > 0) {
      channel->in.append(buf, static_cast<size_t>(n));
      if (channel->in.size() > kFrameHeaderBytes + kMaxAnswerPayload) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closed = true;
    break;
  }
  while (channel->in.size() >= kFrameHeaderBytes) {
    uint32_t length = FramePayloadLength(channel->in.data());
    if (length > kMaxAnswerPayload) {
      DropChannel(channel, "sent an oversized answer");
      return;
    }
    if (channel->in.size() < kFrameHeaderBytes + length) break;
    HttpResponse response;
    AnswerFile file;
    bool ok = channel->current != nullptr &&
              DecodeAnswer(channel->in.substr(kFrameHeaderBytes, length), &response, &file);
    channel->in.erase(0, kFrameHeaderBytes + length);
    if (ok && file.present) {
      struct stat st;
      ok = channel->passed_fd >= 0 && fstat(channel->passed_fd, &st) == 0 &&
           file.offset <= static_cast<uint64_t>(st.st_size) &&
           file.length <= static_cast<uint64_t>(st.st_size) - file.offset;
      if (ok) {
        // Once sent, the file goes back to the worker for its next answer.
        auto give_back = [released = released_, pid = channel->pid,
                          inode = static_cast<uint64_t>(st.st_ino)](int fd) {
          close(fd);
          released->Add(pid, inode);
        };
        response.body_file = std::make_shared<BodyFile>(channel->passed_fd, file.offset,
                                                        file.length, std::move(give_back));
        channel->passed_fd = -1;
      }
    }
    if (channel->passed_fd >= 0) {  // one the answer did not announce
      close(channel->passed_fd);
      channel->passed_fd = -1;
    }
    if (!ok) {
      DropChannel(channel, "sent a malformed answer");
      return;
    }
    Pending* pending = channel->current;
    channel->current = nullptr;
    channel->idle_since = Clock::now();
    pending->worker = channel->index;
    Settle(pending, std::move(response));
  }
  if (closed) DropChannel(channel, "died");
}

void Front::FlushRequest(Channel* channel) {
  while (channel->out_done < channel->out.size()) {
    ssize_t n = send(channel->fd, channel->out.data() + channel->out_done,
                     channel->out.size() - channel->out_done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      channel->out_done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!channel->watching_write) WatchChannel(channel, true);
      return;
    } else {
      DropChannel(channel, "died");
      return;
    }
  }
  channel->out.clear();
  channel->out_done = 0;
  if (channel->watching_write) WatchChannel(channel, false);
}

void Front::Dispatch() {
  auto now = Clock::now();
  std::vector<Pending*> expired;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    while (!queue_.empty() && now - queue_.front()->queued_at >= kMaxQueueWait) {
      expired.push_back(queue_.front());
      queue_.pop_front();
    }
  }
  for (Pending* pending : expired) Settle(pending, BusyAnswer());

  while (true) {
    // Regular workers first, so that spares fall idle and retire.
    Channel* idle = nullptr;
    for (auto& ch : channels_) {
      if (ch->fd < 0 || ch->current != nullptr) continue;
      if (idle == nullptr || (idle->spare && !ch->spare) ||
          (idle->spare == ch->spare && ch->index < idle->index)) {
        idle = ch.get();
      }
    }
    if (idle == nullptr) return;
    Pending* pending = nullptr;
    {
      std::lock_guard<std::mutex> lock(queue_mu_);
      if (queue_.empty()) return;
      pending = queue_.front();
      queue_.pop_front();
    }
    idle->current = pending;
    idle->out = EncodeRequestFrame(pending->request, released_->Take(idle->pid));
    idle->out_done = 0;
    pending->request = HttpRequest();
    FlushRequest(idle);
  }
}

void Front::ManageSpares() {
  auto now = Clock::now();
  int live = 0;
  bool idle = false;
  for (auto& ch : channels_) {
    if (ch->fd < 0) continue;
    ++live;
    idle = idle || ch->current == nullptr;
  }
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    waiting = !queue_.empty();
  }
  if (waiting && !idle && !draining_.load() && live < config_.max_workers &&
      (!spare_asked_ || now - spare_asked_at_ >= kSpareRetry)) {
    char wish = kSpareWanted;
    if (send(config_.control_fd, &wish, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) {
      spare_asked_ = true;
      spare_asked_at_ = now;
    }
  }
  for (auto& ch : channels_) {
    if (ch->fd < 0 || !ch->spare || ch->current != nullptr) continue;
    if (now - ch->idle_since >= std::chrono::seconds(config_.spare_idle_seconds)) {
      // Its worker sees the channel close and exits.
      syslog(LOG_INFO, "front: spare worker %d (pid %d) idle for %d s; retired", ch->index, ch->pid,
             config_.spare_idle_seconds);
      DropChannel(ch.get(), "retired");
    }
  }
}

void Front::CutLateRequests() {
  auto now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(timers_mu_);
    for (auto it = timers_.begin(); it != timers_.end();) {
      if (it->second.deadline > now) {
        ++it;
        continue;
      }
      // libmicrohttpd sees the connection end and closes it; the table entry
      // goes first, so the descriptor is never touched again from here.
      shutdown(it->second.fd, SHUT_RDWR);
      it = timers_.erase(it);
      ++cuts_unreported_;
    }
  }
  if (cuts_unreported_ > 0 && now - cuts_reported_at_ >= kCutReportEvery) {
    syslog(LOG_WARNING, "front: cut %ld connection%s that sent no whole request within %u s",
           cuts_unreported_, cuts_unreported_ == 1 ? "" : "s", config_.request_timeout_seconds);
    cuts_unreported_ = 0;
    cuts_reported_at_ = now;
  }
}

void Front::BeginDrain() {
  if (draining_.exchange(true)) return;
  int fd = MHD_quiesce_daemon(daemon_);
  if (fd >= 0) close(fd);
  drain_deadline_ = Clock::now() + std::chrono::seconds(config_.drain_timeout_seconds);
}

void Front::SettleEverything() {
  std::deque<Pending*> queued;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    queued.swap(queue_);
  }
  for (Pending* pending : queued) Settle(pending, BusyAnswer());
  for (auto& ch : channels_) {
    if (ch->current == nullptr) continue;
    Pending* pending = ch->current;
    ch->current = nullptr;
    pending->worker = ch->index;
    Settle(pending, BusyAnswer());
  }
}

int Front::Run(int signal_fd, const std::function<void()>& on_sighup) {
  struct Watch {
    int fd;
    uint64_t tag;
  };
  for (const Watch& w : {Watch{signal_fd, kSignalTag}, Watch{config_.control_fd, kControlTag},
                         Watch{wake_fd_, kWakeTag}}) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = w.tag;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, w.fd, &ev);
  }
  ReceiveChannels();

  struct epoll_event events[64];
  while (true) {
    int n = epoll_wait(epoll_fd_, events, 64, kTickMs);
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kSignalTag) {
        struct signalfd_siginfo info;
        while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (info.ssi_signo == SIGHUP) {
            on_sighup();
          } else {
            syslog(LOG_INFO, "front: stopping: finishing %d request%s in flight", in_flight_.load(),
                   in_flight_.load() == 1 ? "" : "s");
            BeginDrain();
          }
        }
      } else if (tag == kControlTag) {
        ReceiveChannels();
      } else if (tag == kWakeTag) {
        uint64_t count;
        ssize_t ignored = read(wake_fd_, &count, sizeof count);
        (void)ignored;
      } else {
        auto* channel = static_cast<Channel*>(events[i].data.ptr);
        if (channel->fd >= 0 && (events[i].events & EPOLLOUT) != 0) FlushRequest(channel);
        if (channel->fd >= 0 && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
          ReadAnswer(channel);
        }
      }
    }
    channels_.erase(std::remove_if(channels_.begin(), channels_.end(),
                                   [](const std::unique_ptr<Channel>& ch) { return ch->fd < 0; }),
                    channels_.end());
    CutLateRequests();
    Dispatch();
    ManageSpares();
    if (draining_.load()) {
      if (in_flight_.load() == 0) break;
      if (Clock::now() >= drain_deadline_) {
        syslog(LOG_WARNING, "front: %d request%s still unanswered after %d s; answered 503",
               in_flight_.load(), in_flight_.load() == 1 ? "" : "s", config_.drain_timeout_seconds);
        SettleEverything();
        break;
      }
    }
  }

  // From here on nothing is handed over; a request that slipped into the
  // queue meanwhile is settled by the loop below, so that no connection is
  // still suspended when the HTTP server stops. Running logins end within a
  // hash; what waits for one is refused.
  stopped_.store(true);
  login_pool_->Stop(BusyAnswer());
  auto last = Clock::now() + kLastAnswersWait;
  do {
    SettleEverything();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (in_flight_.load() > 0 && Clock::now() < last);
  SettleEverything();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  for (auto& ch : channels_) {
    if (ch->fd >= 0) close(ch->fd);
    ch->fd = -1;
  }
  channels_.clear();
  return 0;
}

}  // namespace host
}  // namespace kinoro
