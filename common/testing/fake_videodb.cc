#include "common/testing/fake_videodb.h"

#include "libkinoro/util.h"

namespace fake {

VideodbWorld& World() {
  static VideodbWorld* world = new VideodbWorld();
  return *world;
}

void ResetWorld() { World() = VideodbWorld(); }

}  // namespace fake

std::string LibKinoro::GetSharePathByVolPath(const char* vol_path) {
  const std::string path = vol_path ? vol_path : "";
  fake::World().share_path_calls.push_back(path);
  return fake::World().share_path_by_vol ? fake::World().share_path_by_vol(path) : "";
}
