#include "webapi/base_api.h"

#include <gtest/gtest.h>

#include "tests/fakes/api_call.h"

namespace velmkr {
namespace webapi {
namespace {

uint32_t FlagsFor(const char* params) {
  VELM::APIRequest request("test", 1, "test", fake::Params(params), 1026, false);
  VELM::APIResponse response;
  BaseAPI api(&request, &response);
  api.ParseAdditional();
  EXPECT_FALSE(response.IsAnswered()) << "ParseAdditional must not answer the host";
  return api.additional_flags();
}

TEST(ParseAdditional, Flags) {
  struct Case {
    const char* params;
    uint32_t flags;
  } const cases[] = {
      {"{}", 0},
      {R"({"additional": []})", 0},
      {R"({"additional": ["file", "video", "file"]})", 3},
      {R"({"additional": ["produced_file", "Video", "poster"]})", 4},
      {R"({"additional": ["video", "file", "produced_file"]})", 7},
      // Non-strings are skipped, the strings still count.
      {R"({"additional": [1, "file", null]})", 2},
      // Not an array: the host marks it invalid, nothing is taken from it.
      {R"({"additional": "video"})", 0},
      {R"({"additional": {"video": true}})", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(c.flags, FlagsFor(c.params));
  }
}

TEST(ParseAdditional, OnlyAddsFlags) {
  VELM::APIRequest first("test", 1, "test", fake::Params(R"({"additional": ["file"]})"), 1,
                         false);
  VELM::APIResponse response;
  BaseAPI api(&first, &response);
  EXPECT_EQ(0u, api.additional_flags());
  api.ParseAdditional();
  api.ParseAdditional();
  EXPECT_EQ(2u, api.additional_flags());
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
