// Share names to absolute paths, and existence tests of files and folders.
// None of them logs or throws; a failure is an empty string or false.
#ifndef KINORO_COMMON_PATH_UTILS_H_
#define KINORO_COMMON_PATH_UTILS_H_

#include <string>

namespace VELMKinoro {

// The share's root directory, then "/" and `path` when `path` is not empty.
// `path` is appended as given: a leading "/" doubles the separator and ".."
// is not resolved. Empty when no share has that name, and when the name or
// the path holds a NUL.
std::string GetFullPath(const std::string& share, const std::string& path);

// The path names a directory (symbolic links followed).
bool FolderExists(const std::string& path);

// The path names a regular file of at least one byte (links followed).
bool IsFileExist(const std::string& path);

// The video's sidecar, its full file name followed by ".krmeta", is readable
// by the caller's effective ids and not empty. The video file itself is not
// looked at.
bool HasVideoMetaFile(const std::string& path);

}  // namespace VELMKinoro

#endif  // KINORO_COMMON_PATH_UTILS_H_
