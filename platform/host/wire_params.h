// Request parameters as they arrive on the wire (query strings, form bodies,
// name=value arguments) and their conversion to the JSON values a module
// reads through VELM::APIRequest.
#ifndef KINORO_PLATFORM_HOST_WIRE_PARAMS_H_
#define KINORO_PLATFORM_HOST_WIRE_PARAMS_H_

#include <json/json.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kinoro {
namespace host {

using WireParam = std::pair<std::string, std::string>;

// A raw value that parses as one JSON value (surrounding white space allowed,
// nothing else after it) is that value; anything else, the empty text
// included, is a JSON string holding the raw text unchanged.
Json::Value ParseWireValue(std::string_view raw);

// Decodes application/x-www-form-urlencoded text ("a=1&b=%20x+y") and
// appends the pairs to `out` in order. Empty segments are skipped; a segment
// without "=" is a name with an empty value. Returns false with `error` set
// on a "%" not followed by two hex digits or an empty name.
bool DecodeUrlEncoded(std::string_view text, std::vector<WireParam>* out, std::string* error);

// Builds the parameter object from decoded pairs, converting each value with
// ParseWireValue. Returns false with `error` set when a name occurs twice.
bool BuildParams(const std::vector<WireParam>& pairs, Json::Value* params, std::string* error);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_WIRE_PARAMS_H_
