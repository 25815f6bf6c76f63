#include "platform/host/cgi_answer.h"

#include <strings.h>

namespace kinoro {
namespace host {
namespace {

bool IsTokenChar(char c) {
  // RFC 9110 token characters; a header name is one token.
  static const char kExtra[] = "!#$%&'*+-.^_`|~";
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  for (const char* p = kExtra; *p != '\0'; ++p) {
    if (*p == c) return true;
  }
  return false;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseStatus(const std::string& value, int* status, std::string* reason) {
  if (value.size() < 3) return false;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    char c = value[i];
    if (c < '0' || c > '9') return false;
    code = code * 10 + (c - '0');
  }
  if (value.size() > 3 && value[3] != ' ' && value[3] != '\t') return false;
  if (code < 100 || code > 599) return false;
  *status = code;
  *reason = Trim(value.substr(3));
  return true;
}

}  // namespace

const std::string* RawAnswer::FindHeader(const std::string& name) const {
  for (const auto& h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return &h.second;
  }
  return nullptr;
}

bool ParseCgiAnswer(const std::string& text, RawAnswer* out, std::string* error) {
  *out = RawAnswer();
  if (text.empty()) {
    *error = "empty raw answer";
    return false;
  }
  bool has_status = false;
  size_t pos = 0;
  while (true) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      *error = "raw answer has no empty line after its headers";
      return false;
    }
    size_t end = nl;
    if (end > pos && text[end - 1] == '\r') --end;
    std::string line = text.substr(pos, end - pos);
    pos = nl + 1;
    if (line.empty()) break;

    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      *error = "malformed header line in raw answer: \"" + line.substr(0, 80) + "\"";
      return false;
    }
    std::string name = line.substr(0, colon);
    for (char c : name) {
      if (!IsTokenChar(c)) {
        *error = "malformed header name in raw answer: \"" + name.substr(0, 80) + "\"";
        return false;
      }
    }
    std::string value = Trim(line.substr(colon + 1));
    if (strcasecmp(name.c_str(), "Status") == 0) {
      if (!ParseStatus(value, &out->status, &out->reason)) {
        *error = "bad Status in raw answer: \"" + value.substr(0, 80) + "\"";
        return false;
      }
      has_status = true;
      continue;
    }
    out->headers.emplace_back(std::move(name), std::move(value));
  }
  if (!has_status && out->FindHeader("Location") != nullptr) out->status = 302;
  out->body = text.substr(pos);
  return true;
}

}  // namespace host
}  // namespace kinoro
