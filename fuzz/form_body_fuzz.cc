// An application/x-www-form-urlencoded body (or a query string), decoded
// and turned into the parameter object a module reads.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/wire_params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<kinoro::host::WireParam> pairs;
  std::string error;
  if (!kinoro::host::DecodeUrlEncoded(text, &pairs, &error)) return 0;
  Json::Value params;
  kinoro::host::BuildParams(pairs, &params, &error);
  return 0;
}
