#include "tests/videodb/local_http_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>

#include "tests/videodb/temp_db.h"

namespace videodb_test {

namespace {

constexpr uint64_t kEndlessCap = 1ULL << 30;
constexpr uint64_t kSlowBytes = 100;

ssize_t EndlessBody(void*, uint64_t pos, char* buf, size_t max) {
  if (pos >= kEndlessCap) return MHD_CONTENT_READER_END_OF_STREAM;
  memset(buf, 'x', max);
  return static_cast<ssize_t>(max);
}

ssize_t SlowBody(void*, uint64_t pos, char* buf, size_t max) {
  if (pos >= kSlowBytes || max == 0) return MHD_CONTENT_READER_END_OF_STREAM;
  usleep(200 * 1000);
  buf[0] = 's';
  return 1;
}

MHD_Result Queue(MHD_Connection* connection, unsigned status, MHD_Response* response) {
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result Redirect(MHD_Connection* connection, const std::string& location) {
  MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  MHD_add_response_header(response, "Location", location.c_str());
  return Queue(connection, 302, response);
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char*, const char*,
                  const char*, size_t*, void**) {
  auto* self = static_cast<LocalHttpServer*>(cls);
  std::string path = url;
  if (path == "/image") {
    MHD_Response* response = MHD_create_response_from_buffer(
        self->image().size(), const_cast<char*>(self->image().data()), MHD_RESPMEM_PERSISTENT);
    return Queue(connection, 200, response);
  }
  if (path == "/to-image") return Redirect(connection, self->Url("/image"));
  if (path == "/to-file") return Redirect(connection, "file:///etc/hostname");
  if (path == "/loop") return Redirect(connection, self->Url("/loop"));
  if (path == "/endless") {
    return Queue(connection, 200,
                 MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, EndlessBody,
                                                   nullptr, nullptr));
  }
  if (path == "/slow") {
    return Queue(
        connection, 200,
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1, SlowBody, nullptr, nullptr));
  }
  static char kNotFound[] = "not found";
  return Queue(
      connection, 404,
      MHD_create_response_from_buffer(sizeof(kNotFound) - 1, kNotFound, MHD_RESPMEM_PERSISTENT));
}

}  // namespace

LocalHttpServer::LocalHttpServer(size_t image_size) : image_(FakeJpeg(image_size, 42)) {
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0,
                             nullptr, nullptr, &Handle, this, MHD_OPTION_SOCK_ADDR, &addr,
                             MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_END);
  if (daemon_ == nullptr) return;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : 0;
}

LocalHttpServer::~LocalHttpServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

std::string LocalHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace videodb_test
