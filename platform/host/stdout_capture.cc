#include "platform/host/stdout_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

namespace kinoro {
namespace host {
namespace {

// Larger capture files are emptied before the next call instead of kept.
constexpr long kKeepBytes = 8 << 20;
// Spare files kept for the next large answers; one per answer being sent is
// enough for a worker that answers one call at a time.
constexpr size_t kMaxSpares = 4;

void KeepSpare(std::vector<int>* spares, int fd) {
  if (spares->size() >= kMaxSpares) {
    close(fd);
    return;
  }
  // An unusually large one is kept empty rather than holding its pages idle.
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_size > kKeepBytes && ftruncate(fd, 0) != 0)) {
    close(fd);
    return;
  }
  spares->push_back(fd);
}

void FlushAll() {
  std::cout.flush();
  fflush(stdout);
}

}  // namespace

std::string ReadFileRange(int fd, size_t from, size_t to) {
  std::string out;
  if (to <= from) return out;
  out.resize(to - from);
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = pread(fd, &out[done], out.size() - done, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

StdoutCapture::StdoutCapture()
    : file_fd_(-1),
      saved_fd_(-1),
      redirected_(false),
      running_(false),
      keep_redirected_(false),
      dirty_(false),
      kept_bytes_(0),
      spares_(std::make_shared<std::vector<int>>()) {}

StdoutCapture::~StdoutCapture() {
  Restore();
  if (file_fd_ >= 0) close(file_fd_);
  for (int fd : *spares_) close(fd);
}

void StdoutCapture::AddSpare(int fd) { KeepSpare(spares_.get(), fd); }

std::function<void(int fd)> StdoutCapture::SpareTaker() {
  return [weak = std::weak_ptr<std::vector<int>>(spares_)](int fd) {
    if (auto spares = weak.lock()) {
      KeepSpare(spares.get(), fd);
    } else {
      close(fd);
    }
  };
}

bool StdoutCapture::OpenFile(std::string* error) {
  if (!spares_->empty()) {
    // Its old bytes lie past where the next capture stops writing; Begin()
    // rewinds it, or empties it when it grew unusually large.
    file_fd_ = spares_->back();
    spares_->pop_back();
    const off_t size = lseek(file_fd_, 0, SEEK_END);
    dirty_ = true;
    kept_bytes_ = size > 0 ? size : 0;
    return true;
  }
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
  dirty_ = false;
  kept_bytes_ = 0;
  return true;
}

bool StdoutCapture::Begin(std::string* error) {
  if (running_) End();
  if (file_fd_ < 0 && !OpenFile(error)) return false;
  FlushAll();
  // Each capture writes from offset 0 and End() reads only up to where the
  // writing stopped, so leftovers of an earlier, longer answer are never
  // seen. Rewinding instead of truncating keeps the file's pages for the
  // next image; only an unusually large file is given back. While fd 1 stays
  // redirected something may have been written between calls: always rewind.
  if (dirty_ || redirected_) {
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
  if (!redirected_) {
    saved_fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_fd_ < 0) {
      // fd 1 may be closed (a daemon); the capture still works, and
      // Restore() then leaves fd 1 closed again.
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
    redirected_ = true;
  }
  running_ = true;
  return true;
}

std::string StdoutCapture::End() {
  if (!running_) return "";
  FlushAll();
  running_ = false;
  off_t size = lseek(file_fd_, 0, SEEK_CUR);
  dirty_ = size != 0;
  if (size > kept_bytes_) kept_bytes_ = size;
  if (!keep_redirected_) Restore();

  return size > 0 ? ReadFileRange(file_fd_, 0, static_cast<size_t>(size)) : "";
}

int StdoutCapture::TakeFile(size_t* size) {
  *size = 0;
  if (!running_) return -1;
  FlushAll();
  running_ = false;
  const off_t written = lseek(file_fd_, 0, SEEK_CUR);
  const int taken = file_fd_;
  std::string error;
  if (written < 0 || !OpenFile(&error)) {
    // Without a new file the old one stays the capture's; its output is lost.
    file_fd_ = taken;
    dirty_ = true;
    if (!keep_redirected_) Restore();
    return -1;
  }
  // Standard output must leave the file now given away: whatever a later
  // call writes goes to the new one.
  if (redirected_ && keep_redirected_) dup2(file_fd_, STDOUT_FILENO);
  if (!keep_redirected_) Restore();
  *size = static_cast<size_t>(written);
  return taken;
}

void StdoutCapture::SetKeepRedirected(bool keep) {
  keep_redirected_ = keep;
  if (!keep && !running_) Restore();
}

void StdoutCapture::Restore() {
  running_ = false;
  if (!redirected_) return;
  FlushAll();
  if (saved_fd_ >= 0) {
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
  } else {
    close(STDOUT_FILENO);
  }
  saved_fd_ = -1;
  redirected_ = false;
}

}  // namespace host
}  // namespace kinoro
