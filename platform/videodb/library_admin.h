// Libraries as an administrator manages them: their folders, adding and
// removing them, and removing videos with everything stored for them. The
// files on disk are never touched.
#ifndef KINORO_PLATFORM_VIDEODB_LIBRARY_ADMIN_H_
#define KINORO_PLATFORM_VIDEODB_LIBRARY_ADMIN_H_

#include <string>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

// True for a share path of a library folder: "/<share>" or
// "/<share>/<folder>/...", without empty, "." or ".." components and
// without a trailing slash.
bool IsSharePathForm(const std::string& path);

struct LibraryRecord {
  long long id = 0;  // filled in
  std::string title;
  std::string type;  // "movie", "tvshow" or "home_video"
  bool is_public = false;
  std::vector<unsigned int> users;
  std::vector<std::string> paths;  // share paths
};

// Adds a library in one transaction; false with `error` set.
bool AddLibrary(Connection* conn, LibraryRecord* library, std::string* error);

// Every library with its users and folders, by id.
bool ListLibraries(Connection* conn, std::vector<LibraryRecord>* out);

// Removes the videos named by mapper id inside the caller's write
// transaction: files, conversion tasks of those files, credits, genres,
// tags, collection links, poster, backdrops, watch state, the video row and
// the mapper row. A show goes with its episodes. Image files the removed
// rows named are added to `image_files`, for RemoveImageFiles once the
// transaction committed.
bool DeleteVideos(Connection* conn, const std::vector<long long>& mapper_ids,
                  std::vector<std::string>* image_files);
void RemoveImageFiles(Connection* conn, const std::vector<std::string>& image_files);

// Removes a library and its videos, in batches of short transactions so
// that readers are never held up for long; the library row goes last, so
// an interrupted run is finished by the next. `removed` counts the videos.
// False with `error` set (also when there is no such library).
bool DeleteLibrary(Connection* conn, long long id, long long* removed, std::string* error);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_LIBRARY_ADMIN_H_
