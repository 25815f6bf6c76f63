#include "platform/videodb/conf_edit.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/videodb/temp_db.h"

namespace kinoro_db {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Json::Value Parse(const std::string& path) {
  Json::Value value;
  std::istringstream in(Slurp(path));
  Json::CharReaderBuilder builder;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << path << ": " << errors;
  return value;
}

// The shares a person wrote stay as they were, members the service does not
// read included; the demo's share is added once, moved, and taken out again.
TEST(ConfEditTest, SharesOfTheDemoComeAndGoBesideAPersonsOwn) {
  videodb_test::TempDb tmp;
  const std::string conf = tmp.WriteFile("shares.conf", R"({"shares": [
      {"name": "media", "path": "/srv/media", "comment": "mine"},
      {"name": "photos", "path": "/srv/photos"}], "owner": "me"})");
  ASSERT_EQ(chmod(conf.c_str(), 0640), 0);
  const Json::Value before = Parse(conf);
  std::string error;

  ASSERT_TRUE(AddShare(conf, "kinoro-demo-media", "/tmp/a", &error)) << error;
  ASSERT_TRUE(AddShare(conf, "kinoro-demo-media", "/tmp/b", &error)) << error;
  Json::Value with_demo = Parse(conf);
  ASSERT_EQ(with_demo["shares"].size(), 3u);
  EXPECT_EQ(with_demo["shares"][0], before["shares"][0]);
  EXPECT_EQ(with_demo["shares"][1], before["shares"][1]);
  EXPECT_EQ(with_demo["shares"][2]["path"], "/tmp/b");
  EXPECT_EQ(with_demo["owner"], "me");

  ASSERT_TRUE(RemoveShare(conf, "kinoro-demo-media", &error)) << error;
  ASSERT_TRUE(RemoveShare(conf, "kinoro-demo-media", &error)) << error;
  EXPECT_EQ(Parse(conf), before);
  struct stat st;
  ASSERT_EQ(stat(conf.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string absent = tmp.dir() + "/absent.conf";
  ASSERT_TRUE(AddShare(absent, "kinoro-demo-media", "/tmp/a", &error)) << error;
  EXPECT_EQ(Parse(absent)["shares"][0]["name"], "kinoro-demo-media");
}

// A file the edit cannot read as shares is left exactly as it is.
TEST(ConfEditTest, FilesThatAreNotSharesAreLeftAlone) {
  videodb_test::TempDb tmp;
  for (const char* text : {"not json", "[1]", R"({"shares": {}})", "{\"shares\": ["}) {
    const std::string conf = tmp.WriteFile("shares.conf", text);
    std::string error;
    EXPECT_FALSE(AddShare(conf, "kinoro-demo-media", "/tmp/a", &error)) << text;
    EXPECT_FALSE(RemoveShare(conf, "media", &error)) << text;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Slurp(conf), text);
  }
  std::string error;
  EXPECT_FALSE(AddShare(tmp.dir() + "/s.conf", "x", "relative/path", &error));
}

TEST(ConfEditTest, PluginSettingCopiesEveryOtherSetting) {
  videodb_test::TempDb tmp;
  const std::string from = tmp.WriteFile("plugins.conf", R"({"priority": {"movie": {"similar":
      ["tmdb", "local_similar"]}}, "settings": {"tmdb": {"api_key": "k"}}})");
  const std::string to = tmp.dir() + "/demo-plugins.conf";
  std::string error;
  ASSERT_TRUE(WritePluginSetting(from, to, "local_similar", "database", "/d.db", &error)) << error;
  Json::Value expected = Parse(from);
  expected["settings"]["local_similar"]["database"] = "/d.db";
  EXPECT_EQ(Parse(to), expected);

  EXPECT_FALSE(WritePluginSetting(tmp.dir() + "/none", to, "p", "k", "v", &error));
  const std::string odd = tmp.WriteFile("odd.conf", R"({"settings": {"local_similar": 3}})");
  EXPECT_FALSE(WritePluginSetting(odd, to, "local_similar", "database", "/d.db", &error));
}

}  // namespace
}  // namespace kinoro_db
