// A scripted stand-in for the database library's GetSharePathByVolPath:
// linked into a binary, it takes the library's place and records every
// volume path asked.
#ifndef KINORO_COMMON_TESTING_FAKE_VIDEODB_H_
#define KINORO_COMMON_TESTING_FAKE_VIDEODB_H_

#include <functional>
#include <string>
#include <vector>

namespace fake {

struct VideodbWorld {
  std::function<std::string(const std::string&)> share_path_by_vol;  // "" when unset
  std::vector<std::string> share_path_calls;
};

VideodbWorld& World();
void ResetWorld();

}  // namespace fake

#endif  // KINORO_COMMON_TESTING_FAKE_VIDEODB_H_
