#include "platform/videodb/json_reader.h"

#include <exception>
#include <iterator>
#include <memory>

namespace LibKinoro {
namespace db {
namespace internal {

JsonParser::JsonParser() {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  reader_.reset(builder.newCharReader());
}

JsonParser::~JsonParser() = default;

bool JsonParser::Parse(std::string_view text, Json::Value* value, std::string* error) {
  try {
    return reader_->parse(text.data(), text.data() + text.size(), value, error);
  } catch (const std::exception& e) {
    // jsoncpp throws instead of failing on nesting beyond its stack limit.
    *error = e.what();
    return false;
  }
}

bool ParseJson(std::string_view text, Json::Value* value, std::string* error) {
  return JsonParser().Parse(text, value, error);
}

bool ParseJson(std::istream& in, Json::Value* value, std::string* error) {
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return ParseJson(text, value, error);
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
