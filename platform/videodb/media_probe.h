// A video file's container facts, read with libavformat from its headers
// and the first packets (never by decoding pictures).
#ifndef KINORO_PLATFORM_VIDEODB_MEDIA_PROBE_H_
#define KINORO_PLATFORM_VIDEODB_MEDIA_PROBE_H_

#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

struct MediaFacts {
  double duration = 0;  // seconds; 0 when the container does not say
  int width = 0;
  int height = 0;
  std::string video_codec;  // libavcodec's short names: "h264", "aac"
  std::string audio_codec;
  long long bit_rate = 0;  // bits per second, the container's
};

// Reads the facts of the open regular file `fd`. False when it is not a container
// libavformat can read (`error` says why); nothing is logged here.
bool ProbeMedia(int fd, MediaFacts* facts, std::string* error);

// ProbeMedia (or `probe`) in a child process of its own, so that a file
// that crashes or hangs the demuxers costs that file's facts, not the scan:
// the child is killed after `timeout_ms`, and a crash or time-out is an
// error like an unreadable container. The child writes nothing but its
// answer and ends with _exit.
using ProbeFunction = bool (*)(int fd, MediaFacts* facts, std::string* error);
bool ProbeMediaApart(int fd, MediaFacts* facts, std::string* error, int timeout_ms = 60000,
                     ProbeFunction probe = ProbeMedia);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_MEDIA_PROBE_H_
