// Volume path to share path, through the share service.
#include <cstring>
#include <string>

#include "libkinoro/util.h"
#include "velm/services.h"

namespace LibKinoro {

namespace {

// True when `root` is `path` or a whole-component prefix of it.
bool IsUnder(const std::string& path, const std::string& root) {
  if (root.empty() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

}  // namespace

std::string GetSharePathByVolPath(const char* vol_path) {
  if (vol_path == nullptr || vol_path[0] != '/') return std::string();
  const std::string path(vol_path);
  PVELMSHARE* shares = nullptr;
  int count = 0;
  if (VELMShareList(&shares, &count) != 0) return std::string();
  std::string best_root, best_name;
  for (int i = 0; i < count; ++i) {
    if (shares[i] == nullptr || shares[i]->szPath == nullptr || shares[i]->szName == nullptr) {
      continue;
    }
    std::string root = shares[i]->szPath;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    // Nested shares: the deepest root names the file.
    if (IsUnder(path, root) && root.size() > best_root.size()) {
      best_root = root;
      best_name = shares[i]->szName;
    }
  }
  VELMShareFreeList(shares, count);
  if (best_name.empty()) return std::string();
  std::string rest = best_root == "/" ? path : path.substr(best_root.size());
  if (rest == "/") rest.clear();
  return "/" + best_name + rest;
}

}  // namespace LibKinoro
