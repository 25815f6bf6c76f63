// A request parameter's raw value, as it arrives in a query string or a
// form body after percent-decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/host/wire_params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const Json::Value value = kinoro::host::ParseWireValue(raw);
  // Only a JSON string literal (which needs a '"') can give a string that
  // differs from the raw text; anything else not taken as JSON comes back
  // unchanged.
  if (value.isString() && raw.find('"') == std::string_view::npos && value.asString() != raw) {
    abort();
  }
  return 0;
}
