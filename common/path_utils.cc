#include "common/path_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velm/services.h"

namespace VELMKinoro {

namespace {

constexpr char kMetaSuffix[] = ".krmeta";

}  // namespace

std::string GetFullPath(const std::string& share, const std::string& path) {
  // A NUL would cut the name or the path short as a C string, and the file
  // reached would not be the one the caller named.
  if (share.find('\0') != std::string::npos || path.find('\0') != std::string::npos) {
    return std::string();
  }
  PVELMSHARE record = nullptr;
  if (VELMShareGet(share.c_str(), &record) != 0) return std::string();
  std::string full_path = record != nullptr && record->szPath != nullptr ? record->szPath : "";
  if (!path.empty()) {
    full_path += '/';
    full_path += path;
  }
  // Released at once: nothing keeps share records past the lookup.
  if (record != nullptr) VELMShareFree(record);
  return full_path;
}

bool FolderExists(const std::string& path) {
  struct stat64 st;
  if (stat64(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode);
}

bool IsFileExist(const std::string& path) {
  if (path.empty()) return false;
  struct stat64 st;
  if (stat64(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) && st.st_size >= 1;
}

bool HasVideoMetaFile(const std::string& path) {
  const std::string meta_path = path + kMetaSuffix;
  // With the effective ids, which decide what an open would do: workers
  // keep root as their real uid and run with another effective one.
  if (faccessat(AT_FDCWD, meta_path.c_str(), R_OK, AT_EACCESS) != 0) return false;
  struct stat64 st;
  if (stat64(meta_path.c_str(), &st) != 0) return false;
  return st.st_size >= 1;
}

}  // namespace VELMKinoro
