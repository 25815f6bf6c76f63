#include "platform/host/stdout_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <iostream>

namespace kinoro {
namespace host {
namespace {

constexpr off_t kKeepBytes = 8 << 20;

void FlushAll() {
  std::cout.flush();
  fflush(stdout);
}

}  // namespace

StdoutCapture::StdoutCapture() : file_fd_(-1), saved_fd_(-1), dirty_(false), kept_bytes_(0) {}

StdoutCapture::~StdoutCapture() {
  if (active()) End();
  if (file_fd_ >= 0) close(file_fd_);
}

bool StdoutCapture::Begin(std::string* error) {
  if (active()) End();
  if (file_fd_ < 0) {
    file_fd_ = memfd_create("kinoro-raw-answer", MFD_CLOEXEC);
    if (file_fd_ < 0) {
      *error = std::string("memfd_create: ") + strerror(errno);
      return false;
    }
    if (file_fd_ <= STDERR_FILENO) {
      // fd 1 itself may have been free; keep the file clear of 0-2.
      int moved = fcntl(file_fd_, F_DUPFD_CLOEXEC, 3);
      close(file_fd_);
      file_fd_ = moved;
      if (file_fd_ < 0) {
        *error = std::string("fcntl: ") + strerror(errno);
        return false;
      }
    }
  }
  // Each capture writes from offset 0 and End() reads only up to where the
  // writing stopped, so leftovers of an earlier, longer answer are never seen.
  // Rewinding instead of truncating keeps the file's pages for the next
  // image; only an unusually large file is given back.
  if (dirty_) {
    if (kept_bytes_ > kKeepBytes) {
      if (ftruncate(file_fd_, 0) != 0) {
        *error = std::string("cannot empty the capture file: ") + strerror(errno);
        return false;
      }
      kept_bytes_ = 0;
    }
    if (lseek(file_fd_, 0, SEEK_SET) != 0) {
      *error = std::string("cannot rewind the capture file: ") + strerror(errno);
      return false;
    }
    dirty_ = false;
  }
  FlushAll();
  saved_fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_fd_ < 0) {
    // fd 1 may be closed (a daemon); the capture still works, and End()
    // then leaves fd 1 closed again.
    if (errno != EBADF) {
      *error = std::string("dup(1): ") + strerror(errno);
      return false;
    }
    saved_fd_ = -2;
  }
  if (dup2(file_fd_, STDOUT_FILENO) < 0) {
    *error = std::string("dup2: ") + strerror(errno);
    if (saved_fd_ >= 0) close(saved_fd_);
    saved_fd_ = -1;
    return false;
  }
  return true;
}

std::string StdoutCapture::End() {
  if (saved_fd_ == -1) return "";
  FlushAll();
  if (saved_fd_ >= 0) {
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
  } else {
    close(STDOUT_FILENO);
  }
  saved_fd_ = -1;

  std::string out;
  off_t size = lseek(file_fd_, 0, SEEK_CUR);
  dirty_ = size != 0;
  if (size > kept_bytes_) kept_bytes_ = size;
  if (size <= 0) return out;
  out.resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = pread(file_fd_, &out[done], out.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

}  // namespace host
}  // namespace kinoro
