#include "webapi/plugin_similar.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/videodb/temp_db.h"

namespace velmkr::webapi {
namespace {

// Plug-in answers come from outside: whatever sits where the TMDb id belongs
// gives an id or -1 (a real beyond the 64-bit range too), never undefined
// behaviour.
TEST(GetTMDbIDTest, ReadsTheNestedReference) {
  const struct {
    const char* value;
    long long id;
  } cases[] = {{"550", 550},    {"27.9", 27},   {"true", 1},
               {"false", 0},    {"null", -1},   {"{}", -1},
               {"\"550\"", -1}, {"-1e300", -1}, {"9223372036854775808", -1}};
  for (const auto& c : cases) {
    const std::string title =
        std::string(R"({"extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": )") +
        c.value + "}}}}";
    EXPECT_EQ(c.id, GetTMDbID(videodb_test::ParseJson(title))) << c.value;
  }
  EXPECT_EQ(-1, GetTMDbID(videodb_test::ParseJson(R"({"extra": {"com.velmora.TheMovieDb": 1}})")));
}

}  // namespace
}  // namespace velmkr::webapi
