#include "platform/videodb/media_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// How much the stream search may read: enough for the headers of the
// common containers, small enough that a scan of a big library stays quick.
constexpr const char kProbeSize[] = "1048576";        // bytes
constexpr const char kAnalyzeDuration[] = "1000000";  // microseconds

struct InputCloser {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}

}  // namespace

bool ProbeMedia(int fd, MediaFacts* facts, std::string* error) {
  // The library's own messages would say the same as the scanner's one
  // line per unreadable file, in a format of their own.
  av_log_set_level(AV_LOG_QUIET);
  *facts = MediaFacts();
  // Through the descriptor the caller opened, so that a name swapped for a
  // link after the walk saw it cannot send the probe elsewhere.
  const std::string url = "file:/proc/self/fd/" + std::to_string(fd);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "probesize", kProbeSize, 0);
  av_dict_set(&options, "analyzeduration", kAnalyzeDuration, 0);
  AVFormatContext* raw = nullptr;
  int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) {
    *error = AvError(rc);
    return false;
  }
  std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);
  rc = avformat_find_stream_info(ctx.get(), nullptr);
  if (rc < 0) {
    *error = AvError(rc);
    return false;
  }
  if (ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0) {
    facts->duration = static_cast<double>(ctx->duration) / AV_TIME_BASE;
  }
  facts->bit_rate = ctx->bit_rate > 0 ? ctx->bit_rate : 0;
  const int video = av_find_best_stream(ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio = av_find_best_stream(ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (video < 0 && audio < 0) {
    *error = "no video or audio stream";
    return false;
  }
  if (video >= 0) {
    const AVCodecParameters* par = ctx->streams[video]->codecpar;
    facts->width = par->width;
    facts->height = par->height;
    facts->video_codec = avcodec_get_name(par->codec_id);
  }
  if (audio >= 0) facts->audio_codec = avcodec_get_name(ctx->streams[audio]->codecpar->codec_id);
  return true;
}

namespace {

// The child's answer: one write, smaller than a pipe's atomic size.
struct ProbeAnswer {
  bool ok;
  double duration;
  int width;
  int height;
  long long bit_rate;
  char video_codec[32];
  char audio_codec[32];
  char error[256];
};
static_assert(sizeof(ProbeAnswer) <= PIPE_BUF, "the answer is one atomic write");

void CopyText(const std::string& text, char* out, size_t size) {
  const size_t n = std::min(text.size(), size - 1);
  memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

bool ProbeMediaApart(int fd, MediaFacts* facts, std::string* error, int timeout_ms,
                     ProbeFunction probe) {
  *facts = MediaFacts();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  fflush(nullptr);  // else the child's exit could write this process's buffers
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start the probe: ") + strerror(errno);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    ProbeAnswer answer = {};
    MediaFacts found;
    std::string why;
    answer.ok = probe(fd, &found, &why);
    answer.duration = found.duration;
    answer.width = found.width;
    answer.height = found.height;
    answer.bit_rate = found.bit_rate;
    CopyText(found.video_codec, answer.video_codec, sizeof(answer.video_codec));
    CopyText(found.audio_codec, answer.audio_codec, sizeof(answer.audio_codec));
    CopyText(why, answer.error, sizeof(answer.error));
    const ssize_t written = write(pipe_fds[1], &answer, sizeof(answer));
    _exit(written == static_cast<ssize_t>(sizeof(answer)) ? 0 : 1);
  }
  close(pipe_fds[1]);
  ProbeAnswer answer = {};
  ssize_t got = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    struct pollfd waiting = {pipe_fds[0], POLLIN, 0};
    const int ready = left > 0 ? poll(&waiting, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) {
      do {
        got = read(pipe_fds[0], &answer, sizeof(answer));
      } while (got < 0 && errno == EINTR);
    }
    break;
  }
  close(pipe_fds[0]);
  bool timed_out = false;
  if (got < 0) {
    timed_out = true;
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof(answer))) {
    if (!answer.ok) {
      *error = answer.error;
      return false;
    }
    facts->duration = answer.duration;
    facts->width = answer.width;
    facts->height = answer.height;
    facts->bit_rate = answer.bit_rate;
    facts->video_codec = answer.video_codec;
    facts->audio_codec = answer.audio_codec;
    return true;
  }
  if (timed_out) {
    *error = "reading it took over " + std::to_string(timeout_ms) + " ms";
  } else if (WIFSIGNALED(status)) {
    *error = std::string("reading it crashed the probe (") + strsignal(WTERMSIG(status)) + ")";
  } else {
    *error = "the probe ended without an answer";
  }
  return false;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
