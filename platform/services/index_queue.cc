// The index queue: one record per line, appended by any number of writer
// processes. Each record goes out in a single write under an exclusive lock
// so that a reader never sees two records interleaved.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "platform/services/scoped_fd.h"
#include "velm/services.h"

extern "C" int WriteIndexQueue(const char* szRecord, const char* szQueueFile) {
  if (szRecord == nullptr || szQueueFile == nullptr || szQueueFile[0] == '\0') return -1;
  // An empty record or a line break would make the daemon read a record that
  // nobody wrote.
  if (szRecord[0] == '\0' || strpbrk(szRecord, "\r\n") != nullptr) return -1;

  velm_services::ScopedFd fd(open(szQueueFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return -1;
  // Held until the descriptor closes on return.
  int rc;
  do {
    rc = flock(fd.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return -1;

  std::string line(szRecord);
  line.push_back('\n');
  ssize_t n;
  do {
    n = write(fd.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  // A short write (full disk) leaves a torn line; report it rather than
  // append the rest as a second, unlocked piece.
  return n == static_cast<ssize_t>(line.size()) ? 0 : -1;
}
