// How the engine reads JSON: plug-in answers, INFO files and the
// configuration file. One document and nothing after it; jsoncpp's
// exception on nesting beyond its stack limit becomes a parse error.
#ifndef KINORO_PLATFORM_PLUGIN_PLUGIN_JSON_H_
#define KINORO_PLATFORM_PLUGIN_PLUGIN_JSON_H_

#include <json/json.h>

#include <string>

namespace velm_plugin {

// False with `error` set (the reader's message) when `text` is not exactly
// one JSON value, blanks around it allowed; `value` is then unspecified.
bool ParseJson(const std::string& text, Json::Value* value, std::string* error);

// False with `error` set when the file cannot be read, is larger than
// `max_bytes`, or is not JSON.
bool ReadJsonFile(const std::string& path, size_t max_bytes, Json::Value* value,
                  std::string* error);

}  // namespace velm_plugin

#endif  // KINORO_PLATFORM_PLUGIN_PLUGIN_JSON_H_
