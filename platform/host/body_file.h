// A raw answer's body left in the file the method wrote it to. A worker
// hands the file itself to the front, so that an image is not copied through
// the host's processes on its way out; the front gives it back once the
// answer is sent, and the next large answer is written over the same pages
// instead of a new file's.
#ifndef KINORO_PLATFORM_HOST_BODY_FILE_H_
#define KINORO_PLATFORM_HOST_BODY_FILE_H_

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace kinoro {
namespace host {

struct BodyFile {
  BodyFile(int fd_in, uint64_t offset_in, uint64_t length_in,
           std::function<void(int fd)> recycle_in = nullptr)
      : fd(fd_in), offset(offset_in), length(length_in), recycle(std::move(recycle_in)) {}
  ~BodyFile() {
    if (fd < 0) return;
    if (recycle) {
      recycle(fd);
    } else {
      close(fd);
    }
  }
  BodyFile(const BodyFile&) = delete;
  BodyFile& operator=(const BodyFile&) = delete;

  const int fd;  // owned
  const uint64_t offset;
  const uint64_t length;
  // Takes the descriptor instead of close() when the last holder lets the
  // file go, so that its pages can hold the next answer. Set or cleared
  // only by the one holder before the file is shared.
  mutable std::function<void(int fd)> recycle;
};

using SharedBodyFile = std::shared_ptr<const BodyFile>;

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_BODY_FILE_H_
