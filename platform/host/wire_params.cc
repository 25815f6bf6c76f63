#include "platform/host/wire_params.h"

#include <exception>
#include <memory>
#include <unordered_set>

namespace kinoro {
namespace host {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(std::string_view in, std::string* out) {
  out->clear();
  out->reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      out->push_back(' ');
    } else if (c == '%') {
      if (in.size() - i < 3) return false;
      int hi = HexDigit(in[i + 1]);
      int lo = HexDigit(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out->push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

// Most raw values are plain words or numbers; only text that can begin a JSON
// value goes through the parser.
bool MayBeJson(std::string_view raw) {
  for (char c : raw) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    return c == '{' || c == '[' || c == '"' || c == '-' || (c >= '0' && c <= '9') || c == 't' ||
           c == 'f' || c == 'n';
  }
  return false;
}

// JSON's number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view t) {
  size_t i = 0;
  auto digits = [&] {
    size_t start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > start;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

// jsoncpp reads "007" as 7 and a lone "-" as 0; JSON does not. Checks every
// number token outside strings against the grammar.
bool NumbersAreStrictJson(std::string_view raw) {
  size_t i = 0;
  while (i < raw.size()) {
    char c = raw[i];
    if (c == '"') {
      for (++i; i < raw.size() && raw[i] != '"'; ++i) {
        if (raw[i] == '\\') ++i;
      }
      ++i;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t start = i;
      while (i < raw.size() && (raw[i] == '-' || raw[i] == '+' || raw[i] == '.' || raw[i] == 'e' ||
                                raw[i] == 'E' || (raw[i] >= '0' && raw[i] <= '9'))) {
        ++i;
      }
      if (!IsJsonNumber(raw.substr(start, i - start))) return false;
    } else {
      ++i;
    }
  }
  return true;
}

// Containers nested deeper than this make a value a string. jsoncpp throws
// (rather than fails) past its stack limit, and unwinding a thousand frames
// costs about a millisecond a value, so such text never reaches the reader.
constexpr int kMaxNesting = 1000;

// False when a '[' or '{' outside strings opens a container deeper than
// kMaxNesting. Unbalanced text is left to the reader, which stops at the
// first stray bracket before it could go deeper than counted here.
bool NestingWithinLimit(std::string_view raw) {
  int depth = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '"') {
      for (++i; i < raw.size() && raw[i] != '"'; ++i) {
        if (raw[i] == '\\') ++i;
      }
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

Json::CharReader* StrictReader() {
  // One reader per thread: CharReader keeps parse state between calls.
  thread_local std::unique_ptr<Json::CharReader> reader = [] {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    // Any value may stand alone, not only objects and arrays.
    builder.settings_["strictRoot"] = false;
    builder.settings_["failIfExtra"] = true;
    builder.settings_["rejectDupKeys"] = false;
    // The reader counts the innermost scalar as a level too.
    builder.settings_["stackLimit"] = kMaxNesting + 1;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
  }();
  return reader.get();
}

// Text within kMaxNesting does not reach the reader's limit; should the
// reader throw anyway, the value is not JSON either. The reader starts each
// parse afresh, so a throw leaves nothing behind for the next value.
bool ParseStrict(std::string_view raw, Json::Value* value) {
  std::string errors;
  try {
    return StrictReader()->parse(raw.data(), raw.data() + raw.size(), value, &errors);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

Json::Value ParseWireValue(std::string_view raw) {
  if (MayBeJson(raw) && NestingWithinLimit(raw)) {
    Json::Value value;
    if (ParseStrict(raw, &value) && NumbersAreStrictJson(raw)) {
      return value;
    }
  }
  return Json::Value(std::string(raw));
}

bool DecodeUrlEncoded(std::string_view text, std::vector<WireParam>* out, std::string* error) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) amp = text.size();
    std::string_view segment = text.substr(pos, amp - pos);
    pos = amp + 1;
    if (segment.empty()) continue;
    size_t eq = segment.find('=');
    std::string_view raw_name = segment.substr(0, eq);
    std::string_view raw_value =
        eq == std::string_view::npos ? std::string_view() : segment.substr(eq + 1);
    WireParam param;
    if (!PercentDecode(raw_name, &param.first) || !PercentDecode(raw_value, &param.second)) {
      *error = "broken percent-encoding in \"" + std::string(segment.substr(0, 64)) + "\"";
      return false;
    }
    if (param.first.empty()) {
      *error = "parameter without a name";
      return false;
    }
    out->push_back(std::move(param));
  }
  return true;
}

bool BuildParams(const std::vector<WireParam>& pairs, Json::Value* params, std::string* error) {
  Json::Value result(Json::objectValue);
  for (const WireParam& p : pairs) {
    if (result.isMember(p.first)) {
      *error = "parameter \"" + p.first + "\" given twice";
      return false;
    }
    result[p.first] = ParseWireValue(p.second);
  }
  *params = std::move(result);
  return true;
}

}  // namespace host
}  // namespace kinoro
