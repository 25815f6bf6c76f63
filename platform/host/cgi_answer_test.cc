#include "platform/host/cgi_answer.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

TEST(ParseCgiAnswerTest, WellFormedAnswers) {
  struct Case {
    const char* name;
    std::string text;
    int status;
    std::string reason;
    Headers headers;
    std::string body;
  };
  const Case cases[] = {
      {"crlf with status", "Status: 404 Not Found\r\n\r\n", 404, "Not Found", {}, ""},
      {"no status means 200",
       "Content-Type: image/jpeg\r\nETag: \"abc\"\r\n\r\n\xff\xd8 body",
       200,
       "",
       {{"Content-Type", "image/jpeg"}, {"ETag", "\"abc\""}},
       "\xff\xd8 body"},
      {"bare lf lines",
       "Content-Type: text/plain\nStatus: 201\n\nhi\r\n",
       201,
       "",
       {{"Content-Type", "text/plain"}},
       "hi\r\n"},
      {"case-insensitive status, trimmed values",
       "status:   503  Busy \r\nX-A:\tv\r\n\r\n",
       503,
       "Busy",
       {{"X-A", "v"}},
       ""},
      {"location alone redirects", "Location: /x\r\n\r\n", 302, "", {{"Location", "/x"}}, ""},
      {"status beats location",
       "Location: /x\r\nStatus: 301 Moved\r\n\r\n",
       301,
       "Moved",
       {{"Location", "/x"}},
       ""},
      {"headers only, no lines at all", "\r\nbody", 200, "", {}, "body"},
      {"body keeps blank lines",
       "A: 1\r\n\r\n\r\nline\r\n\r\n",
       200,
       "",
       {{"A", "1"}},
       "\r\nline\r\n\r\n"},
      {"empty value", "X-Empty:\r\n\r\n", 200, "", {{"X-Empty", ""}}, ""},
  };
  for (const Case& c : cases) {
    RawAnswer a;
    std::string error;
    ASSERT_TRUE(ParseCgiAnswer(c.text, &a, &error)) << c.name << ": " << error;
    EXPECT_EQ(a.status, c.status) << c.name;
    EXPECT_EQ(a.reason, c.reason) << c.name;
    EXPECT_EQ(a.headers, c.headers) << c.name;
    EXPECT_EQ(a.body, c.body) << c.name;
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
    a.status = 999;
    std::string error;
    EXPECT_FALSE(ParseCgiAnswer(text, &a, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
}  // namespace host
}  // namespace kinoro
