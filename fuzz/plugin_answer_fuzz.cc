// What a plug-in program writes to its standard output, as the engine
// parses it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plugin/plugin_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Json::Value answer;
  std::string error;
  velm_plugin::ParseJson(text, &answer, &error);
  return 0;
}
