#include "platform/host/cgi_answer.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

TEST(ParseCgiAnswerTest, WellFormedAnswers) {
  const struct {
    std::string text;
    int status;
    std::string reason;
    Headers headers;
    std::string body;
  } cases[] = {
      {"Status: 404 Not Found\r\n\r\n", 404, "Not Found", {}, ""},
      // No status means 200; the body is bytes; bare LF lines.
      {"A: 1\r\nB: \"c\"\r\n\r\n\xff\xd8 x", 200, "", {{"A", "1"}, {"B", "\"c\""}}, "\xff\xd8 x"},
      {"A: 1\nStatus: 201\n\nhi\r\n", 201, "", {{"A", "1"}}, "hi\r\n"},
      // The status name in any case; values trimmed.
      {"status:   503  Busy \r\nX-A:\tv\r\n\r\n", 503, "Busy", {{"X-A", "v"}}, ""},
      // A location alone redirects; a status beats it.
      {"Location: /x\r\n\r\n", 302, "", {{"Location", "/x"}}, ""},
      {"Location: /x\r\nStatus: 301 Moved\r\n\r\n", 301, "Moved", {{"Location", "/x"}}, ""},
      {"\r\nbody", 200, "", {}, "body"},  // no header lines at all
      {"A: 1\r\n\r\n\r\nline\r\n\r\n", 200, "", {{"A", "1"}}, "\r\nline\r\n\r\n"},
      {"X-Empty:\r\n\r\n", 200, "", {{"X-Empty", ""}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RawAnswer a;
    std::string error;
    ASSERT_TRUE(ParseCgiAnswer(c.text, &a, &error)) << error;
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.reason, c.reason);
    EXPECT_EQ(a.headers, c.headers);
    EXPECT_EQ(a.body, c.body);
  }
}

TEST(ParseCgiAnswerTest, MalformedAnswers) {
  const char* cases[] = {
      "",
      "Content-Type: text/plain\r\n",  // no empty line
      "Content-Type: text/plain",      // no line end at all
      "just some text\r\n\r\n",        // no colon
      ": value\r\n\r\n",               // no name
      "Bad Name: v\r\n\r\n",           // space in the name
      "Status: abc\r\n\r\n",
      "Status: 99 Low\r\n\r\n",
      "Status: 600 High\r\n\r\n",
      "Status: 2000\r\n\r\n",
      "Status:\r\n\r\n",
  };
  for (const char* text : cases) {
    RawAnswer a;
    std::string error;
    EXPECT_FALSE(ParseCgiAnswer(text, &a, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
}  // namespace host
}  // namespace kinoro
