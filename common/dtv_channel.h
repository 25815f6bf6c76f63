// Digital TV channel files: "/var/packages/Kinoro/etc/channels/%dchannels.conf"
// under the root, one channel per line, fields separated by ":". Of a line
// the title (before the first ":"), the frequency (after the first ":") and
// the id (after the last ":") are read. No state, no logging.
#ifndef KINORO_COMMON_DTV_CHANNEL_H_
#define KINORO_COMMON_DTV_CHANNEL_H_

#include <json/json.h>

namespace VELMKinoro {

// Replaces `channels` with one {"title", "frequency", "id"} object per line
// holding a ":", in file order. Lines longer than 4095 bytes are read as
// several lines. Numbers are parsed like strtol in base 10 and clamped to the
// int range. 0 when the file was read; -1 (channels untouched) for a null or
// empty path or a file that cannot be opened. Pass a null value or an array.
int VELMVideoDTVLoadChannels(const char* path, Json::Value& channels);

// The frequency of the first channel of file 0 with this id; 0 when there is
// none or the file is missing.
int VELMVideoDTVGetFirstFreqency(int channel_id);

// Splits "<channel id>@<frequency>" (text between the first and the last "@"
// is ignored) or a bare "<channel id>", whose frequency is looked up in file
// 0. Both outputs are set in every case; 0 when both are non-zero, else -1.
int VELMVideoDTVParserUniqueId(const char* unique_id, int* channel_id, int* frequency);

}  // namespace VELMKinoro

#endif  // KINORO_COMMON_DTV_CHANNEL_H_
