#include "webapi/apivalidator.h"

namespace velmkr {
namespace webapi {
namespace apivalidator {

bool IntGreaterZero(const int& value) { return value > 0; }

bool IntGreaterEqualZero(const int& value) { return value >= 0; }

bool IntGreaterEqualNegativeOne(const int& value) { return value >= -1; }

bool JsonIntArrayGreaterZero(const Json::Value& value) {
  // An object has members, not elements: indexing one throws. size() is 0
  // for null and scalars, which stay valid as a list of nothing.
  if (value.isObject()) return false;
  for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
    const Json::Value& element = value[i];
    if (!element.isInt()) return false;
    if (!IntGreaterZero(element.asInt())) return false;
  }
  return true;
}

bool LLongGreaterZero(const long long& value) { return value > 0; }

bool StringNotEmpty(const std::string& value) { return !value.empty(); }

bool StringIsSortDirection(const std::string& value) {
  return value == "asc" || value == "desc";
}

}  // namespace apivalidator
}  // namespace webapi
}  // namespace velmkr
