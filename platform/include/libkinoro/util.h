// Free functions of the video database library.
#ifndef KINORO_PLATFORM_INCLUDE_LIBKINORO_UTIL_H_
#define KINORO_PLATFORM_INCLUDE_LIBKINORO_UTIL_H_

#include <string>
#include <vector>

#include <json/json.h>

#include "libkinoro/records.h"

namespace LibKinoro {

// 1 "movie", 2 "tvshow", 3 "tvshow_episode", 4 "home_video"; "" otherwise.
std::string VideoTypeGetName(_VIDEO_TYPE_ type);

// The share path of a volume path, through the share service: the share
// whose root is a whole-component prefix of the path, "/" and its name, then
// the rest of the path. Empty when no share holds the path.
std::string GetSharePathByVolPath(const char* vol_path);

namespace db {
namespace util {

// The array's elements of type T, in order; elements of another kind are
// skipped, and a value that is not an array gives an empty vector.
template <typename T>
std::vector<T> JsonArrayToVector(const Json::Value& value);

template <>
std::vector<int> JsonArrayToVector<int>(const Json::Value& value);
template <>
std::vector<std::string> JsonArrayToVector<std::string>(const Json::Value& value);

}  // namespace util
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_INCLUDE_LIBKINORO_UTIL_H_
