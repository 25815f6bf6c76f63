// Whole-file JSON documents. Both functions work on the file in place: no
// temporary file, no rename, no lock. Callers that share a file across
// processes arrange their own exclusion.
#ifndef KINORO_COMMON_JSON_UTILS_H_
#define KINORO_COMMON_JSON_UTILS_H_

#include <json/json.h>

#include <string>

namespace LibKinoro {

// Parses the whole file at `path` into `value`; comments are accepted. False
// for an empty path, a file that cannot be opened or read, or content that is
// not JSON; after false, `value` is unspecified. Logs nothing.
bool ReadJsonFromFile(const std::string& path, Json::Value& value);

// Replaces the file's content with the compact form of `value` and one line
// feed, creating the file if needed. False, with a log line, for an empty
// path or a stream error; a failed write may leave the file truncated.
bool WriteJsonToFile(const std::string& path, const Json::Value& value);

}  // namespace LibKinoro

#endif  // KINORO_COMMON_JSON_UTILS_H_
