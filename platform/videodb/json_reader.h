// The library's one way to read JSON text (settings, import documents): the
// reader's default rules, comments allowed and dropped, and a document
// nested deeper than the reader's limit is a parse error, never an
// exception.
#ifndef KINORO_PLATFORM_VIDEODB_JSON_READER_H_
#define KINORO_PLATFORM_VIDEODB_JSON_READER_H_

#include <json/json.h>

#include <istream>
#include <memory>
#include <string>
#include <string_view>

namespace LibKinoro {
namespace db {
namespace internal {

// False with `error` set (the reader's messages) when `text` is not one JSON
// document; `value` is then unspecified.
bool ParseJson(std::string_view text, Json::Value* value, std::string* error);

// The same rules for many small documents (an import's records): the reader
// is made once, not per document.
class JsonParser {
 public:
  JsonParser();
  ~JsonParser();
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;

  bool Parse(std::string_view text, Json::Value* value, std::string* error);

 private:
  std::unique_ptr<Json::CharReader> reader_;
};

// The rest of `in` as one document.
bool ParseJson(std::istream& in, Json::Value* value, std::string* error);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_JSON_READER_H_
