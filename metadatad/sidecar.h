// Writing a video's sidecar files beside each of its files: the metadata as
// "<file name>.krmeta" and the backdrops as "<file name>.backdrop-N.jpg".
#ifndef KINORO_METADATAD_SIDECAR_H_
#define KINORO_METADATAD_SIDECAR_H_

#include <json/json.h>

#include <string>

#include "platform/videodb/export.h"

namespace kinoro {
namespace metadatad {

constexpr int kSidecarVersion = 1;

// The sidecar document of `video` whose backdrops are saved beside the file
// named `file_name` (its last path component).
Json::Value SidecarDocument(const LibKinoro::db::internal::VideoExport& video,
                            const std::string& file_name);

struct WriteCounts {
  int written = 0;    // files written (sidecars and backdrops)
  int unchanged = 0;  // files already there with the same bytes
  int files = 0;      // video files served
  int gone = 0;       // video files that no longer exist
};

// Writes the sidecars beside every file of `video`, each into its folder
// opened below its share's root without following a link, with the
// privileges of the owner of that root. False when a file could not be
// written (logged); a video file that is gone, or lies outside every share,
// is counted in `gone` and logged once.
bool WriteSidecars(const LibKinoro::db::internal::VideoExport& video, WriteCounts* counts);

}  // namespace metadatad
}  // namespace kinoro

#endif  // KINORO_METADATAD_SIDECAR_H_
