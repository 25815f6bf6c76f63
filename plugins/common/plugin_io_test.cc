#include "plugins/common/plugin_io.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kinoro_plugins {
namespace {

// The engine always sends a well-formed request; what else can arrive is
// refused here.
TEST(ReadRequestTest, DefaultsAndRejections) {
  const std::string deep(5000, '[');
  const struct {
    std::string text;
    const char* error;  // nullptr: accepted
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    std::istringstream in(c.text);
    Request request;
    request.limit = 7;
    std::string error;
    const bool ok = ReadRequest(in, &request, &error);
    EXPECT_EQ(c.error == nullptr, ok) << error;
    if (ok) {
      EXPECT_EQ(request.input, Json::Value(Json::objectValue));
      EXPECT_EQ(request.settings, Json::Value(Json::objectValue));
      EXPECT_EQ(request.limit, 0u);
      EXPECT_EQ(request.lang, "");
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

}  // namespace
}  // namespace kinoro_plugins
