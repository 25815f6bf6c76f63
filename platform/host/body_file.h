// A raw answer's body left in the file the method wrote it to. A worker
// hands the file itself to the front, which sends it with sendfile(), so an
// image is not copied through the host's processes on its way out.
#ifndef KINORO_PLATFORM_HOST_BODY_FILE_H_
#define KINORO_PLATFORM_HOST_BODY_FILE_H_

#include <unistd.h>

#include <cstdint>
#include <memory>

namespace kinoro {
namespace host {

struct BodyFile {
  BodyFile(int fd_in, uint64_t offset_in, uint64_t length_in)
      : fd(fd_in), offset(offset_in), length(length_in) {}
  ~BodyFile() {
    if (fd >= 0) close(fd);
  }
  BodyFile(const BodyFile&) = delete;
  BodyFile& operator=(const BodyFile&) = delete;

  const int fd;  // owned
  const uint64_t offset;
  const uint64_t length;
};

using SharedBodyFile = std::shared_ptr<const BodyFile>;

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_BODY_FILE_H_
