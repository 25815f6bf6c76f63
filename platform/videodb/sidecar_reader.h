// Reading the sidecar the metadata daemon writes beside a video file
// ("<file name>.krmeta", format 1) and applying it to the file's video: each
// member present wins over what the file's name gave, since the daemon
// leaves out the members that came only from the name.
#ifndef KINORO_PLATFORM_VIDEODB_SIDECAR_READER_H_
#define KINORO_PLATFORM_VIDEODB_SIDECAR_READER_H_

#include <json/json.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/videodb/image_store.h"

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

// The daemon's own sidecars take a few kilobytes; anything near this is not
// one of them and is refused unread.
constexpr size_t kMaxSidecarBytes = 1024 * 1024;
// More backdrops than a video keeps; the rest of a longer list is ignored.
constexpr size_t kMaxSidecarBackdrops = 20;

struct Sidecar {
  // The metadata members present and of the right kind, by key.
  Json::Value members{Json::objectValue};
  bool has_backdrops = false;
  std::vector<StoredImage> backdrops;      // ready for backdrop rows, in order
  std::vector<std::string> created_files;  // image files written for them
};

// Reads the sidecar `rel` below the folder `dir_fd`, and the backdrop images
// it names (relative to its own folder), each opened without following a
// link. Large images are written to `images` here, before any transaction.
// False with `error` set when the sidecar cannot be used at all: unreadable,
// larger than kMaxSidecarBytes, not JSON, not format 1, or a member of the
// wrong kind. A backdrop that cannot be read or is not an image is left out
// and described in `warning`.
bool ReadSidecar(int dir_fd, const std::string& rel, ImageStore* images, Sidecar* out,
                 std::string* error, std::string* warning);

// Applies `sidecar` to the video of `mapper_id` inside the caller's write
// transaction and drops the members it set from the mapper's from_name.
// Backdrops are replaced only when they differ; files the dropped rows
// named are added to `dropped_files` (for RemoveImageFiles after commit).
bool ApplySidecar(Connection* conn, long long mapper_id, const Sidecar& sidecar,
                  std::vector<std::string>* dropped_files);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_SIDECAR_READER_H_
