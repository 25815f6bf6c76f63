#include "tests/fakes/fake_videodb.h"

namespace fake {

VideodbWorld& World() {
  static VideodbWorld* world = new VideodbWorld();
  return *world;
}

void ResetWorld() { World() = VideodbWorld(); }

}  // namespace fake

namespace LibKinoro {

std::string GetSharePathByVolPath(const char* vol_path) {
  const std::string path = vol_path ? vol_path : "";
  fake::World().share_path_calls.push_back(path);
  return fake::World().share_path_by_vol ? fake::World().share_path_by_vol(path) : "";
}

db::api::BaseVideoAPI& db::api::BaseVideoAPI::WithCoverRule(const std::string& rule) {
  cover_rule_ = rule;
  fake::World().with_cover_rule_calls.push_back(rule);
  return *this;
}

}  // namespace LibKinoro
