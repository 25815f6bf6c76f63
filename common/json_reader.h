// How the module's helpers read JSON text: a default Json::Reader (jsoncpp's
// lenient rules; comments accepted and kept). jsoncpp throws rather than
// fails on a document nested deeper than its stack limit; here that is one
// more document that does not parse. Header-only, because the templates of
// additional.h use it; nothing here is exported.
#ifndef KINORO_COMMON_JSON_READER_H_
#define KINORO_COMMON_JSON_READER_H_

#include <json/json.h>

#include <exception>
#include <istream>
#include <string>

namespace velmkr {
namespace webapi {

// False when the text is not one JSON document; `value` is then unspecified.
inline bool ReadJson(const std::string& text, Json::Value& value) {
  try {
    Json::Reader reader;
    return reader.parse(text, value, true);
  } catch (const std::exception&) {
    return false;
  }
}

inline bool ReadJson(std::istream& in, Json::Value& value) {
  try {
    Json::Reader reader;
    return reader.parse(in, value, true);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_COMMON_JSON_READER_H_
