// Volume paths to share paths. The process keeps a map from the volume path
// of each shared folder's root to that root's share path; the database
// library is asked once per shared folder, later paths below a known root
// are answered by string arithmetic.
#ifndef KINORO_COMMON_SHARE_PATH_H_
#define KINORO_COMMON_SHARE_PATH_H_

#include <json/json.h>

#include <map>
#include <string>

namespace VELMKinoro {

// True when `path` equals `base` or lies below it ("/a/b" below "/a", not
// "/ab"). Byte-wise, no normalisation: "/a/b" is not below "/a/".
bool VELMIsEqualOrSubPath(const std::string& path, const std::string& base);

}  // namespace VELMKinoro

namespace Kinoro {
namespace webapi {

class SharePathManager {
 public:
  // Plain string order, except that a path and any path below it are
  // equivalent, so a lookup of a file finds the root it lies below. This is
  // a strict weak order only while no stored key lies below another.
  struct Comparator {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  // The share path of `vol_path`. A path below a cached root is answered from
  // the map; any other goes to LibKinoro::GetSharePathByVolPath, whose answer
  // is returned and, when it is a tail of the volume path that starts with
  // "/", teaches the map that folder's root.
  // Not safe for concurrent calls.
  std::string GetSharePath(const std::string& vol_path);
  // The same into `share_path` (not `vol_path` itself), reusing its storage.
  void GetSharePath(const std::string& vol_path, std::string* share_path);

 private:
  using RootMap = std::map<std::string, std::string, Comparator>;

  // The stored root that `vol_path` equals or lies below; end() when none.
  RootMap::const_iterator FindRoot(const std::string& vol_path) const;
  // Stores the pair unless an equivalent root is stored already.
  void AddRoot(std::string vol_root, std::string share_root);

  RootMap roots_;
};

// The process-wide manager's answer; empty for an empty path without asking
// the library. Calls must not overlap in time.
std::string GetSharePath(const std::string& vol_path);

// Sets "sharepath" of every element of the value's "file" array from the
// element's "path". A value without a "file" array is left unchanged.
void ApplySharePath(Json::Value& value);

}  // namespace webapi
}  // namespace Kinoro

#endif  // KINORO_COMMON_SHARE_PATH_H_
