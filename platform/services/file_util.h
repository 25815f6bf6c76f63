// Small file helpers shared by the services and the metadata daemon.
#ifndef KINORO_PLATFORM_SERVICES_FILE_UTIL_H_
#define KINORO_PLATFORM_SERVICES_FILE_UTIL_H_

#include <errno.h>
#include <unistd.h>

#include <string>

namespace velm_services {

// Writes all of `bytes`, going on after a short write or EINTR.
inline bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The folder part of `path`: "." for a bare name, "/" for a file in the root.
inline std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace velm_services

#endif  // KINORO_PLATFORM_SERVICES_FILE_UTIL_H_
