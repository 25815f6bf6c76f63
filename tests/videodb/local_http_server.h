// A small HTTP server on 127.0.0.1 (a free port) for download tests:
//   /image          a JPEG-looking body of `image_size` bytes
//   /missing        404
//   /to-image       302 to /image
//   /to-file        302 to file:///etc/hostname
//   /loop           302 to itself
//   /endless        a body without end (stops after 1 GiB)
//   /slow           one byte every 200 ms (stops after 100 bytes)
#ifndef KINORO_TESTS_VIDEODB_LOCAL_HTTP_SERVER_H_
#define KINORO_TESTS_VIDEODB_LOCAL_HTTP_SERVER_H_

#include <string>

struct MHD_Daemon;

namespace videodb_test {

class LocalHttpServer {
 public:
  explicit LocalHttpServer(size_t image_size);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  bool ok() const { return daemon_ != nullptr; }
  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  const std::string& image() const { return image_; }

 private:
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
  std::string image_;
};

}  // namespace videodb_test

#endif  // KINORO_TESTS_VIDEODB_LOCAL_HTTP_SERVER_H_
