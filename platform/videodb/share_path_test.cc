#include <gtest/gtest.h>

#include "libkinoro/util.h"
#include "platform/services/share_config.h"
#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace {

TEST(SharePathTest, WholeComponentPrefixOfTheDeepestShareRoot) {
  videodb_test::TempDb tmp;
  VELMShareSetConfigPath(tmp.WriteFile("shares.conf", R"({"shares": [
    {"name": "media", "path": "/volume1/media"},
    {"name": "films", "path": "/volume1/media/films"},
    {"name": "photo", "path": "/volume2/photo/"}
  ]})"));
  struct Case {
    const char* vol_path;
    const char* share_path;
  } cases[] = {
      {"/volume1/media/tv/a.mkv", "/media/tv/a.mkv"},
      {"/volume1/media/films/b.mkv", "/films/b.mkv"},
      {"/volume1/media/filmsx/c.mkv", "/media/filmsx/c.mkv"},
      {"/volume1/media", "/media"},
      {"/volume1/mediax/a.mkv", ""},
      {"/volume2/photo/p.jpg", "/photo/p.jpg"},
      {"/volume2/photos/p.jpg", ""},
      {"/volume1", ""},
      {"volume1/media/a.mkv", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetSharePathByVolPath(c.vol_path), c.share_path) << c.vol_path;
  }
  EXPECT_EQ(GetSharePathByVolPath(nullptr), "");

  VELMShareSetConfigPath(tmp.dir() + "/missing.conf");
  EXPECT_EQ(GetSharePathByVolPath("/volume1/media/tv/a.mkv"), "");
  VELMShareSetConfigPath("");
}

}  // namespace
}  // namespace LibKinoro
