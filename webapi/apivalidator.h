// Parameter validators handed to the host's typed getters: true means valid.
// Exported for the package's other API modules.
#ifndef KINORO_WEBAPI_APIVALIDATOR_H_
#define KINORO_WEBAPI_APIVALIDATOR_H_

#include <string>

#include <json/json.h>

namespace velmkr {
namespace webapi {
namespace apivalidator {

bool IntGreaterZero(const int& value);
bool IntGreaterEqualZero(const int& value);
bool IntGreaterEqualNegativeOne(const int& value);
// Every element is a JSON integer that, as an int, is > 0. No elements
// (an empty array, or null) is valid.
bool JsonIntArrayGreaterZero(const Json::Value& value);
bool LLongGreaterZero(const long long& value);
bool StringNotEmpty(const std::string& value);
// Exactly "asc" or "desc".
bool StringIsSortDirection(const std::string& value);

}  // namespace apivalidator
}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_APIVALIDATOR_H_
