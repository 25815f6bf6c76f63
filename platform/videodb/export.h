// One video's metadata as the metadata daemon writes it beside the video's
// files: the members of the import format that the video has, its files and
// its backdrops' bytes.
#ifndef KINORO_PLATFORM_VIDEODB_EXPORT_H_
#define KINORO_PLATFORM_VIDEODB_EXPORT_H_

#include <json/json.h>

#include <string>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

struct VideoExport {
  // "movie", "tvshow", "tvshow_episode" or "home_video"
  std::string type;
  // title, sort_title, original_available, summary, tagline, certificate,
  // rating, tmdb_id, imdb_id, season, episode, genres, actors, directors,
  // writers, tags, collection: each only when the video has it and it did
  // not come only from the file's name. An episode's show is under "tvshow"
  // with the show's title and date.
  Json::Value meta;
  std::vector<std::string> files;      // volume paths; a show's are its episodes'
  std::vector<std::string> backdrops;  // image bytes, oldest first
};

enum class ExportResult { kDone, kNoVideo, kFailed };

// Reads the video `id` of `type` ("movie", "tvshow", "tvshow_episode",
// "episode", "home_video" or "video") in one snapshot. kNoVideo when there
// is none (or the type is unknown), kFailed when the database or an image
// file could not be read (logged).
ExportResult ExportVideo(Connection* conn, const std::string& type, long long id, VideoExport* out);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_EXPORT_H_
