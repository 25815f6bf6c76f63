#include "webapi/plugin_similar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/syslog_recorder.h"
#include "tests/videodb/temp_db.h"

// Stand-ins for two calls of the plug-in engine, which take the place of the
// real ones in this binary: each plug-in's description names its answer and
// the lookup's result. The counts asked and the plug-ins not installed are
// seen through the real engine in the module's tests.
namespace VELMKinoro {
int VELMVideoLoadPluginFromFolder(Json::Value& plugins) {
  plugins = videodb_test::ParseJson(R"({"object": {"answer": {"title": "O"}},
      "failed": {"answer": [{"title": "F"}], "result": -1},
      "no title": {"answer": [{"name": "A"}, {"title": "B"}]},
      "null title": {"answer": [{"title": null}]},
      "empty title": {"answer": [{"title": ""}, {"name": "C"}, 5]}, "empty": {"answer": []}})");
  return 0;
}
int VideoPluginLookup(const Json::Value& plugin, const std::string&, const std::string&,
                      const Json::Value&, Json::Value& result, unsigned long, bool) {
  result = plugin["answer"];
  return plugin["result"].asInt();
}
}  // namespace VELMKinoro

namespace velmkr::webapi {
namespace {

// An answer is used when its first element is an object whose "title" is
// not null or an empty array or object; a failed or empty one is skipped,
// any other logged with the request's "path".
TEST(QueryPluginsTest, GathersUsableAnswersAndLogsTheOthers) {
  kinoro_testing::ClearSyslog();
  Json::Value output;
  QueryPlugins({"object", "failed", "no title", "null title", "empty title", "empty"},
               videodb_test::ParseJson(R"({"path": "/v/a.mkv"})"), LibKinoro::VIDEO_TYPE_MOVIE,
               "enu", 5, output);
  EXPECT_EQ(videodb_test::ParseJson(R"([{"title": ""}, {"name": "C"}, 5])"), output);
  std::vector<std::string> lines;
  for (const auto& line : kinoro_testing::SyslogLines()) lines.push_back(line.text);
  const std::string kLine = "plugin_similar:90 Invalid Result: ";
  EXPECT_EQ(std::vector<std::string>({kLine + "object, /v/a.mkv", kLine + "no title, /v/a.mkv",
                                      kLine + "null title, /v/a.mkv"}),
            lines);
}

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
