// A raw answer that a method wrote itself, CGI style: header lines
// ("Name: value", CRLF or LF), one empty line, then the body.
#ifndef KINORO_PLATFORM_HOST_CGI_ANSWER_H_
#define KINORO_PLATFORM_HOST_CGI_ANSWER_H_

#include <string>
#include <utility>
#include <vector>

namespace kinoro {
namespace host {

struct RawAnswer {
  int status = 200;
  std::string reason;  // from "Status: 404 Not Found"; may be empty
  // In the order written, without "Status"; names as written.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name (case-insensitive), or nullptr.
  const std::string* FindHeader(const std::string& name) const;
};

// Parses `text`. "Status: NNN [reason]" sets the status; a "Location" header
// without a Status means 302, as in CGI. Returns false with `error` set when
// the text is empty, a header line is malformed, the status is not a number
// from 100 to 599, or no empty line ends the headers.
bool ParseCgiAnswer(const std::string& text, RawAnswer* out, std::string* error);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_CGI_ANSWER_H_
