#include "plugins/common/plugin_io.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kinoro_plugins {
namespace {

// The engine always sends well-formed requests; what else can arrive is
// refused with an error line, and every line gets exactly one answer line,
// so that the answers stay in step with the requests.
TEST(ServeRequestsTest, OneAnswerLinePerRequestLine) {
  const std::string deep(5000, '[');
  const struct {
    std::string text;
    const char* error;  // nullptr: answered
  } cases[] = {
      {R"({"action": "similar", "type": "movie", "input": null, "settings": [], "lang": 1})",
       nullptr},
      {R"({"action": "similar", "type": 1})", "no \"type\""},
      {R"({"action": "similar", "type": "movie", "input": [1]})", "\"input\" is not an object"},
      {R"({"action": "similar", "type": "movie", "limit": -1})", "\"limit\" is not a count"},
      {R"([])", "not a JSON object"},
      {R"({"action": "similar", "type": "movie"} trailing)", "not JSON"},
      {deep, "not JSON"},
      {std::string(kMaxRequestBytes + 10, ' '), "request too large"},
      {"", "not JSON"},
      {R"({"action": "fail", "type": "movie"})", "cannot fail"},
      // The last line needs no newline.
      {R"({"action": "similar", "type": "movie"})", nullptr},
  };
  std::string input;
  for (const auto& c : cases) input += c.text + (&c == std::end(cases) - 1 ? "" : "\n");
  std::istringstream in(input);
  std::ostringstream out;
  const int status =
      ServeRequests(in, out, [](const Request& request, Json::Value* answer, std::string* error) {
        if (request.action == "fail") {
          *error = "cannot fail";
          return false;
        }
        // What the request was read as, defaults filled in.
        answer->append(request.input);
        answer->append(request.settings);
        answer->append(Json::UInt64(request.limit));
        answer->append(request.lang);
        return true;
      });
  EXPECT_EQ(status, 0);

  std::istringstream lines(out.str());
  std::string line;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    ASSERT_TRUE(std::getline(lines, line));
    Json::Value answer;
    std::istringstream parse(line);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), parse, &answer, nullptr)) << line;
    if (c.error == nullptr) {
      EXPECT_EQ(line, R"([{},{},0,""])");
    } else {
      EXPECT_NE(answer["error"].asString().find(c.error), std::string::npos) << line;
    }
  }
  EXPECT_FALSE(std::getline(lines, line)) << "an extra line: " << line;
}

}  // namespace
}  // namespace kinoro_plugins
