// What a method writes to standard output as its own CGI answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/host/cgi_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kinoro::host::RawAnswer answer;
  std::string error;
  if (!kinoro::host::ParseCgiAnswer(text, &answer, &error)) return 0;
  if (answer.status < 100 || answer.status > 599) abort();
  answer.FindHeader("Content-Type");
  return 0;
}
