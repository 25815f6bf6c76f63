#include "common/dtv_channel.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "kinoro/root.h"

namespace VELMKinoro {

namespace {

constexpr char kChannelFileFormat[] =
    KINORO_PATH("/var/packages/Kinoro/etc/channels/%dchannels.conf");
// Room for the appliance path of any file number; a test root adds its own
// length on top.
constexpr size_t kChannelPathSize = 128 + sizeof(KINORO_ROOT) - 1;
constexpr int kLineBufferSize = 4096;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

// strtol in base 10, clamped to int: leading blanks and a sign are allowed,
// parsing stops at the first non-digit, no digits give 0.
int ParseNumber(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

int VELMVideoDTVLoadChannels(const char* path, Json::Value& channels) {
  if (path == nullptr || path[0] == '\0') return -1;
  ScopedFile file(fopen64(path, "r"));
  if (!file) return -1;

  // Keep the caller's kind (null or array); a scalar or an object cannot
  // take elements, so it starts over as null.
  if (channels.isNull() || channels.isArray()) {
    channels.clear();
  } else {
    channels = Json::Value();
  }

  char line[kLineBufferSize];
  while (fgets(line, sizeof(line), file.get()) != nullptr) {
    char* first = strchr(line, ':');
    if (first == nullptr) continue;
    char* last = strrchr(line, ':');
    // The frequency field ends at the second ":" or the line's end; strtol
    // stops at either by itself. The id field runs to the line break, where
    // strtol stops too.
    Json::Value entry(Json::objectValue);
    entry["title"] = std::string(line, first);
    entry["frequency"] = ParseNumber(first + 1);
    entry["id"] = ParseNumber(last + 1);
    channels.append(entry);
  }
  return 0;
}

int VELMVideoDTVGetFirstFreqency(int channel_id) {
  char path[kChannelPathSize];
  snprintf(path, sizeof(path), kChannelFileFormat, 0);
  Json::Value channels;
  VELMVideoDTVLoadChannels(path, channels);
  for (const Json::Value& entry : channels) {
    const Json::Value& id = entry["id"];
    if (id.isInt() && id.asInt() == channel_id) return entry["frequency"].asInt();
  }
  return 0;
}

int VELMVideoDTVParserUniqueId(const char* unique_id, int* channel_id, int* frequency) {
  if (channel_id == nullptr || frequency == nullptr) return -1;
  *channel_id = 0;
  *frequency = 0;
  if (unique_id == nullptr || unique_id[0] == '\0') return -1;
  const char* last_at = strrchr(unique_id, '@');
  // strtol stops at the first "@" by itself, so the channel id needs no copy
  // of the text before it.
  *channel_id = ParseNumber(unique_id);
  if (last_at == nullptr) {
    *frequency = VELMVideoDTVGetFirstFreqency(*channel_id);
  } else {
    *frequency = ParseNumber(last_at + 1);
  }
  return *channel_id != 0 && *frequency != 0 ? 0 : -1;
}

}  // namespace VELMKinoro
