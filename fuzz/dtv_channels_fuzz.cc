// A DTV channel file. The parser reads a path, so the input goes into an
// anonymous memory file that it opens through /proc.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/dtv_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("channels", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0) abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  Json::Value channels;
  if (VELMKinoro::VELMVideoDTVLoadChannels(path.c_str(), channels) != 0) abort();
  for (const Json::Value& channel : channels) {
    if (!channel["title"].isString() || !channel["frequency"].isInt() || !channel["id"].isInt()) {
      abort();
    }
  }
  return 0;
}
