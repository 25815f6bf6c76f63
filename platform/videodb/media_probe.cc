#include "platform/videodb/media_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
