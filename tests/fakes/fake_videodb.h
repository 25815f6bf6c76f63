// Recording stand-ins for two calls of the video database library, for the
// unit tests of the shared helpers: linked into a test binary, they take the
// place of the library's GetSharePathByVolPath (scripted) and
// BaseVideoAPI::WithCoverRule (recorded).
#ifndef KINORO_TESTS_FAKES_FAKE_VIDEODB_H_
#define KINORO_TESTS_FAKES_FAKE_VIDEODB_H_

#include <functional>
#include <string>
#include <vector>

#include "libkinoro/libkinoro.h"

namespace fake {

struct VideodbWorld {
  // The share path of a volume path, and every volume path asked.
  std::function<std::string(const std::string&)> share_path_by_vol;
  std::vector<std::string> share_path_calls;
  // The cover rules handed to WithCoverRule.
  std::vector<std::string> with_cover_rule_calls;
};

VideodbWorld& World();
void ResetWorld();

}  // namespace fake

#endif  // KINORO_TESTS_FAKES_FAKE_VIDEODB_H_
