#include "platform/services/pid_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/services/file_util.h"
#include "platform/services/scoped_fd.h"

namespace velm_services {
namespace {

// The pid of the process holding a lock on the open file, or -1.
long LockHolder(int fd) {
  struct flock query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &query) != 0 || query.l_type == F_UNLCK) return -1;
  return query.l_pid;
}

// The number in a pid file's text: blanks, digits, at most one line break,
// nothing else. -1 when the text is anything more or less.
long ParsePid(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  const char* digits = text;
  long pid = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    pid = pid * 10 + (*text - '0');
    if (pid > INT_MAX) return -1;
  }
  if (text == digits) return -1;
  if (*text == '\n') ++text;
  return *text == '\0' && pid > 0 ? pid : -1;
}

}  // namespace

long LivePidFromFile(const char* path) {
  if (path == nullptr || path[0] == '\0') return -1;
  ScopedFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  char text[32];
  ssize_t n;
  do {
    n = read(fd.get(), text, sizeof(text) - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  text[n] = '\0';
  const long pid = ParsePid(text);
  return pid > 0 && LockHolder(fd.get()) == pid ? pid : -1;
}

int HoldPidFile(const std::string& path, std::string* error) {
  // Starts are serialised on the folder, so two daemons started together
  // cannot both find the file free and both rename theirs into place.
  ScopedFd folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || flock(folder.get(), LOCK_EX) != 0) {
    *error = "cannot open the folder of " + path + ": " + strerror(errno);
    return -1;
  }
  {
    ScopedFd old(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    const long holder = old.get() >= 0 ? LockHolder(old.get()) : -1;
    if (holder > 0) {
      *error = "already running as pid " + std::to_string(holder) + " (" + path + ")";
      return -1;
    }
  }
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot write " + temp + ": " + strerror(errno);
    return -1;
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, std::to_string(getpid()) + "\n") &&
                  fsync(fd) == 0 && fcntl(fd, F_SETLK, &lock) == 0 &&
                  rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(temp.c_str());
    close(fd);
    return -1;
  }
  fsync(folder.get());
  return fd;
}

void ReleasePidFile(const std::string& path, int fd) {
  struct stat held, named;
  if (fd >= 0 && fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
    unlink(path.c_str());
  }
  if (fd >= 0) close(fd);
}

}  // namespace velm_services
