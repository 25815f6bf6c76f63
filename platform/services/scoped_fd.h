// Owner of one file descriptor.
#ifndef KINORO_PLATFORM_SERVICES_SCOPED_FD_H_
#define KINORO_PLATFORM_SERVICES_SCOPED_FD_H_

#include <unistd.h>

namespace velm_services {

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  // Gives the descriptor away: the caller closes it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace velm_services

#endif  // KINORO_PLATFORM_SERVICES_SCOPED_FD_H_
