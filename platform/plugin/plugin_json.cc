#include "platform/plugin/plugin_json.h"

#include <exception>
#include <fstream>
#include <memory>

namespace velm_plugin {

bool ParseJson(const std::string& text, Json::Value* value, std::string* error) {
  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    return reader->parse(text.data(), text.data() + text.size(), value, error);
  } catch (const std::exception& e) {
    // jsoncpp throws instead of failing on nesting deeper than its limit.
    *error = e.what();
    return false;
  }
}

bool ReadJsonFile(const std::string& path, size_t max_bytes, Json::Value* value,
                  std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open";
    return false;
  }
  std::string text;
  char buf[8192];
  while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
    text.append(buf, static_cast<size_t>(in.gcount()));
    if (text.size() > max_bytes) {
      *error = "file too large";
      return false;
    }
  }
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  return ParseJson(text, value, error);
}

}  // namespace velm_plugin
