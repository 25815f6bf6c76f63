#include "platform/videodb/safe_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// O_NONBLOCK: a FIFO planted under the name must not hang the open; what
// was opened is checked afterwards.
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// Splits on "/", dropping empty and "." components. False on "..".
bool Components(const std::string& relative, std::vector<std::string>* parts) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    std::string part = relative.substr(start, slash - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(std::move(part));
    start = slash + 1;
  }
  return true;
}

int OpenWithOpenat2(int root_fd, const std::string& relative) {
  struct open_how how = {};
  how.flags = kFileFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof(how));
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
}

int OpenByWalk(int root_fd, const std::vector<std::string>& parts) {
  int dir = root_fd;
  auto close_owned = [&dir, root_fd]() {
    if (dir != root_fd) close(dir);
  };
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    // O_PATH | O_NOFOLLOW opens a link itself rather than failing, so the
    // type check below sees it.
    int next = openat(dir, parts[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    int saved = errno;
    close_owned();
    if (next < 0) {
      errno = saved;
      return -1;
    }
    dir = next;
    struct stat st = {};
    if (fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
      saved = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
      close_owned();
      errno = saved;
      return -1;
    }
  }
  int fd = openat(dir, parts.empty() ? "." : parts.back().c_str(), kFileFlags);
  int saved = errno;
  close_owned();
  errno = saved;
  return fd;
}

}  // namespace

int OpenBeneath(int root_fd, const std::string& relative, BeneathMethod method) {
  std::vector<std::string> parts;
  if (!Components(relative, &parts)) {
    errno = EXDEV;
    return -1;
  }
  // Kernels before 5.6 lack openat2 (ENOSYS), and some container filters
  // refuse system calls they do not know with EPERM; the walk is as safe,
  // only slower.
  static std::atomic<bool> no_openat2{false};
  if (method == BeneathMethod::kOpenat2 ||
      (method == BeneathMethod::kAuto && !no_openat2.load(std::memory_order_relaxed))) {
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
    int fd = OpenWithOpenat2(root_fd, joined.empty() ? "." : joined);
    if (fd >= 0 || method == BeneathMethod::kOpenat2 || (errno != ENOSYS && errno != EPERM)) {
      return fd;
    }
    no_openat2.store(true, std::memory_order_relaxed);
  }
  return OpenByWalk(root_fd, parts);
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
