#include "platform/services/log_value.h"

namespace velm {

namespace {

constexpr char kEllipsis[] = "...";
constexpr size_t kEllipsisBytes = sizeof(kEllipsis) - 1;

void AppendEscaped(unsigned char c, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  switch (c) {
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
    case '\t':
      *out += "\\t";
      return;
    case '\\':
      *out += "\\\\";
      return;
  }
  if (c < 0x20 || c == 0x7f) {
    *out += "\\x";
    *out += kHex[c >> 4];
    *out += kHex[c & 0xf];
    return;
  }
  *out += static_cast<char>(c);
}

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

}  // namespace

std::string LogValue(std::string_view value) {
  std::string out;
  // The longest prefix that ends on a character boundary and still leaves
  // room for the ellipsis.
  size_t cut = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    AppendEscaped(static_cast<unsigned char>(value[i]), &out);
    if (out.size() > kMaxLogValueBytes) {
      out.resize(cut);
      return out + kEllipsis;
    }
    const bool boundary = i + 1 == value.size() || !IsUtf8Continuation(value[i + 1]);
    if (boundary && out.size() <= kMaxLogValueBytes - kEllipsisBytes) cut = out.size();
  }
  return out;
}

}  // namespace velm
