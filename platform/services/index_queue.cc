// The index queue: one record per line, appended by any number of writer
// processes. Each record goes out in one write under the queue's lock, so a
// reader never sees two records interleaved, and a write that fell short is
// cut back, so no half record stands before the next one.
#include "platform/services/index_queue.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/services/scoped_fd.h"
#include "velm/services.h"

namespace velm_services {

int OpenLockedQueue(const char* path, int flags) {
  // A reader renames the queue away at most once per wake-up, so a few
  // rounds always suffice; the bound only keeps a broken file system from
  // spinning a writer.
  for (int round = 0; round < 100; ++round) {
    const int fd = open(path, flags | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    int rc;
    do {
      rc = flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    struct stat held, named;
    if (rc == 0 && fstat(fd, &held) == 0 && stat(path, &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return fd;
    }
    const int saved = rc != 0 ? errno : 0;
    close(fd);
    if (saved != 0) {
      errno = saved;
      return -1;
    }
  }
  errno = EAGAIN;
  return -1;
}

}  // namespace velm_services

extern "C" int WriteIndexQueue(const char* szRecord, const char* szQueueFile) {
  if (szRecord == nullptr || szQueueFile == nullptr || szQueueFile[0] == '\0') return -1;
  // An empty record or a line break would make the daemon read a record that
  // nobody wrote.
  if (szRecord[0] == '\0' || strpbrk(szRecord, "\r\n") != nullptr) return -1;

  velm_services::ScopedFd fd(
      velm_services::OpenLockedQueue(szQueueFile, O_WRONLY | O_APPEND | O_CREAT));
  if (fd.get() < 0) return -1;
  const off_t end = lseek(fd.get(), 0, SEEK_END);
  if (end < 0) return -1;
  std::string line(szRecord);
  line.push_back('\n');
  ssize_t n;
  do {
    n = write(fd.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) return 0;
  // A full disk: the part that went out is cut off again (the lock is still
  // held, so nothing was appended after it).
  if (n > 0 && ftruncate(fd.get(), end) != 0) return -1;
  return -1;
}
