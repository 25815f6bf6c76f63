#include "common/share_path.h"

#include <string.h>

#include <utility>

#include "libkinoro/util.h"

namespace VELMKinoro {

bool VELMIsEqualOrSubPath(const std::string& path, const std::string& base) {
  if (path.size() < base.size()) return false;
  if (path.compare(0, base.size(), base) != 0) return false;
  if (path.size() == base.size()) return true;
  return path[base.size()] == '/';
}

}  // namespace VELMKinoro

namespace Kinoro {
namespace webapi {

bool SharePathManager::Comparator::operator()(const std::string& a, const std::string& b) const {
  // a < b as strings and b not at or below a, decided from one comparison of
  // the common prefix: a difference there settles both questions.
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  const int order = common == 0 ? 0 : memcmp(a.data(), b.data(), common);
  if (order != 0) return order < 0;
  // One is a prefix of the other: a sorts first only when shorter, and then b
  // lies below a exactly when its next byte is a separator.
  return a.size() < b.size() && b[a.size()] != '/';
}

namespace {

// The process-wide manager: created on first use (thread-safe), destroyed by
// the exit handler the runtime registers, when the module is unloaded or the
// process ends.
SharePathManager& ProcessManager() {
  static SharePathManager manager;
  return manager;
}

}  // namespace

SharePathManager::RootMap::const_iterator SharePathManager::FindRoot(
    const std::string& vol_path) const {
  auto it = roots_.find(vol_path);
  // An equivalent key longer than the path is a root below it (the path is
  // an ancestor of a shared folder): the map cannot answer that.
  if (it != roots_.end() && it->first.size() <= vol_path.size()) return it;
  // The search above finds the root only when no other root sorts between
  // the root and the path. A sibling can: "/v/a-b" sorts after "/v/a" but
  // before "/v/a/x", since '-' < '/'. Looking up each leading part of the
  // path exactly is reliable, because stored keys are never nested and so
  // compare in plain string order. Only misses pay for this, and a miss
  // is about to cost a library call anyway.
  for (size_t end = vol_path.find('/', 1);; end = vol_path.find('/', end + 1)) {
    const std::string prefix = vol_path.substr(0, end);
    it = roots_.find(prefix);
    if (it != roots_.end() && it->first == prefix) return it;
    if (end == std::string::npos) break;
  }
  return roots_.end();
}

void SharePathManager::AddRoot(std::string vol_root, std::string share_root) {
  // Nested keys would break the ordering, so an equivalent key (the same
  // root, or one above or below it) wins over the new one. Checked by a scan
  // rather than the tree search, for the reason given in FindRoot; there is
  // one entry per shared folder.
  for (const auto& entry : roots_) {
    if (VELMKinoro::VELMIsEqualOrSubPath(entry.first, vol_root) ||
        VELMKinoro::VELMIsEqualOrSubPath(vol_root, entry.first)) {
      return;
    }
  }
  roots_.emplace(std::move(vol_root), std::move(share_root));
}

std::string SharePathManager::GetSharePath(const std::string& vol_path) {
  std::string share_path;
  GetSharePath(vol_path, &share_path);
  return share_path;
}

void SharePathManager::GetSharePath(const std::string& vol_path, std::string* share_path) {
  auto it = FindRoot(vol_path);
  if (it != roots_.end()) {
    share_path->assign(it->second).append(vol_path, it->first.size(), std::string::npos);
    return;
  }

  *share_path = LibKinoro::GetSharePathByVolPath(vol_path.c_str());
  const std::string& lib_path = *share_path;
  // Only an answer that is the volume path's own tail from a "/" on says
  // where the shared folder starts. An empty answer would be found at index 0
  // of every path and map the volume's first folder to itself.
  if (lib_path.empty() || lib_path[0] != '/' || lib_path.size() > vol_path.size() ||
      vol_path.compare(vol_path.size() - lib_path.size(), lib_path.size(), lib_path) != 0) {
    return;
  }
  const size_t start = vol_path.find(lib_path);
  size_t end = vol_path.find('/', start + 1);
  if (end == std::string::npos) end = vol_path.size();
  AddRoot(vol_path.substr(0, end), vol_path.substr(start, end - start));
}

std::string GetSharePath(const std::string& vol_path) {
  if (vol_path.empty()) return std::string();
  return ProcessManager().GetSharePath(vol_path);
}

void ApplySharePath(Json::Value& value) {
  if (!value.isObject()) return;
  // const lookup first: the non-const operator[] would add a "file" member.
  static const char kFile[] = "file";
  const Json::Value* found = value.find(kFile, kFile + sizeof(kFile) - 1);
  if (found == nullptr || !found->isArray()) return;
  Json::Value& files = value["file"];
  // Reused across the list: allocation, not lookup, dominates the cost.
  std::string vol_path;
  std::string share_path_text;
  // Walked with an iterator rather than by index: an array is a map, and
  // nothing below adds or removes elements.
  for (Json::Value& file : files) {
    // Elements are file objects; anything else cannot take members and is
    // left as it is rather than throw out of an exported helper.
    if (!file.isObject() && !file.isNull()) continue;
    Json::Value& share_path = file["sharepath"];
    const Json::Value& path = file["path"];  // created as null when absent
    const char* begin = nullptr;
    const char* end = nullptr;
    if (path.isString() && path.getString(&begin, &end)) {
      vol_path.assign(begin, end);
    } else if (path.isConvertibleTo(Json::stringValue)) {
      vol_path = path.asString();  // null, numbers and booleans
    } else {
      vol_path.clear();  // arrays and objects have no string form
    }
    // As GetSharePath, without a fresh string per file.
    if (vol_path.empty()) {
      share_path_text.clear();
    } else {
      ProcessManager().GetSharePath(vol_path, &share_path_text);
    }
    share_path =
        Json::Value(share_path_text.data(), share_path_text.data() + share_path_text.size());
  }
}

}  // namespace webapi
}  // namespace Kinoro
