// Loading of the optional ("additional") parts of a page of video records:
// one query per part for the whole page, never one per record.
#ifndef KINORO_PLATFORM_VIDEODB_VIDEO_PARTS_H_
#define KINORO_PLATFORM_VIDEODB_VIDEO_PARTS_H_

#include <json/json.h>

#include <string>
#include <vector>

#include "libkinoro/records.h"

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

struct PartSwitches {
  bool summary = false;
  bool poster_mtime = false;
  bool backdrop_mtime = false;
  bool collection = false;
  bool file = false;
  bool watched_ratio = false;
  bool conversion_produced = false;
  bool actor = false;
  bool director = false;
  bool genre = false;
  bool writer = false;
  bool extra = false;
  std::string cover_rule;
  unsigned int uid = 0;  // whose watched ratio
};

// How poster_mtime is chosen. The rule text "backdrop" makes a video's
// newest backdrop its cover when it has one; "poster" (and any text this
// library does not know, which is ignored) uses the poster.
enum class CoverRule { kPoster, kBackdrop };
CoverRule ParseCoverRule(const std::string& text);

// One record's view for the loader: its mapper id and the JSON object that
// receives its parts.
struct PartTarget {
  int mapper_id = 0;
  Json::Value* additional = nullptr;
};

// Fills each target's additional object with the parts switched on that do
// not come from the video's own row (summary and extra do). False when the
// database failed.
bool LoadParts(Connection* conn, const PartSwitches& parts, const std::vector<PartTarget>& page);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_VIDEO_PARTS_H_
