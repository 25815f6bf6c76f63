#include "common/share_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/fake_videodb.h"

namespace {

using Kinoro::webapi::SharePathManager;
using VELMKinoro::VELMIsEqualOrSubPath;

TEST(IsEqualOrSubPathTest, Cases) {
  struct Case {
    const char* path;
    const char* base;
    bool expected;
  } cases[] = {
      {"/a/b", "/a", true},  {"/a", "/a", true},     {"/ab", "/a", false},
      {"/a", "/a/b", false}, {"/a/b", "/a/", false},  // a trailing slash matches only itself
      {"/a/", "/a/", true},  {"/a//b", "/a/", true},  // no folding of repeated slashes
      {"/A/b", "/a", false},                          // case matters
      {"/a-b", "/a", false}, {"", "", true},         {"/x", "", true},
      {"x", "", false},      {"", "/a", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, VELMIsEqualOrSubPath(c.path, c.base))
        << "path \"" << c.path << "\" base \"" << c.base << "\"";
  }
}

// The library double answers like the real one: "/" and the share name,
// then the rest, for the shares of this table; empty outside them.
std::string ShareOf(const std::string& vol_path) {
  static const char* const kRoots[][2] = {
      {"/vol1/media", "/media"}, {"/vol1/mediax", "/mediax"}, {"/vol1/a", "/a"},
      {"/vol1/a-b", "/a-b"},     {"/vol1/a.b", "/a.b"},       {"/vol2/video", "/video"},
  };
  for (const auto& root : kRoots) {
    if (VELMIsEqualOrSubPath(vol_path, root[0])) {
      return root[1] + vol_path.substr(std::string(root[0]).size());
    }
  }
  return "";
}

class SharePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::ResetWorld();
    fake::World().share_path_by_vol = ShareOf;
  }
  static size_t LibraryCalls() { return fake::World().share_path_calls.size(); }
};

TEST_F(SharePathTest, FirstFileTeachesTheRoot) {
  SharePathManager manager;
  EXPECT_EQ("/media/films/a.mkv", manager.GetSharePath("/vol1/media/films/a.mkv"));
  EXPECT_EQ(1u, LibraryCalls());
  struct Case {
    const char* vol_path;
    const char* share_path;
  } hits[] = {
      {"/vol1/media/tv/b.mkv", "/media/tv/b.mkv"},
      {"/vol1/media", "/media"},  // the root itself
      {"/vol1/media/", "/media/"},
      {"/vol1/media//x", "/media//x"},
  };
  for (const Case& c : hits) EXPECT_EQ(c.share_path, manager.GetSharePath(c.vol_path));
  EXPECT_EQ(1u, LibraryCalls());

  // Shares the root's name as a prefix only: not below it.
  EXPECT_EQ("/mediax/c.mkv", manager.GetSharePath("/vol1/mediax/c.mkv"));
  EXPECT_EQ(2u, LibraryCalls());
  EXPECT_EQ("/mediax/d.mkv", manager.GetSharePath("/vol1/mediax/d.mkv"));
  EXPECT_EQ("/media/e.mkv", manager.GetSharePath("/vol1/media/e.mkv"));
  EXPECT_EQ(2u, LibraryCalls());
}

TEST_F(SharePathTest, RootAsFirstLookup) {
  SharePathManager manager;
  EXPECT_EQ("/media", manager.GetSharePath("/vol1/media"));
  EXPECT_EQ("/media/a.mkv", manager.GetSharePath("/vol1/media/a.mkv"));
  EXPECT_EQ(1u, LibraryCalls());
}

TEST_F(SharePathTest, AnswersThatSayNoRootAreNotCached) {
  struct Case {
    const char* what;
    std::string answer;
  } cases[] = {
      {"empty", ""},
      {"not inside the volume path", "/elsewhere/a.mkv"},
      {"inside but not its tail", "/media"},
      {"tail without a leading slash", "media/a.mkv"},
      {"longer than the volume path", "/x/vol1/media/a.mkv"},
  };
  for (const Case& c : cases) {
    fake::ResetWorld();
    fake::World().share_path_by_vol = [&c](const std::string&) { return c.answer; };
    SharePathManager manager;
    EXPECT_EQ(c.answer, manager.GetSharePath("/vol1/media/a.mkv")) << c.what;
    EXPECT_EQ(c.answer, manager.GetSharePath("/vol1/media/b.mkv")) << c.what;
    EXPECT_EQ(2u, LibraryCalls()) << c.what;
  }
}

TEST_F(SharePathTest, EmptyAnswerDoesNotMapTheVolumeToItself) {
  SharePathManager manager;
  EXPECT_EQ("", manager.GetSharePath("/vol1/outside/a.mkv"));
  // Had "" been cached, /vol1 would map to /vol1 and this would not ask.
  EXPECT_EQ("/media/a.mkv", manager.GetSharePath("/vol1/media/a.mkv"));
  EXPECT_EQ(2u, LibraryCalls());
}

TEST_F(SharePathTest, AncestorOfACachedRootGoesToTheLibrary) {
  SharePathManager manager;
  manager.GetSharePath("/vol1/media/a.mkv");
  fake::World().share_path_by_vol = [](const std::string& path) {
    return path == "/vol1" ? std::string("/volume-root") : ShareOf(path);
  };
  EXPECT_EQ("/volume-root", manager.GetSharePath("/vol1"));
  EXPECT_EQ("", manager.GetSharePath("/"));
  EXPECT_EQ(3u, LibraryCalls());
  EXPECT_EQ("/media/b.mkv", manager.GetSharePath("/vol1/media/b.mkv"));
  EXPECT_EQ(3u, LibraryCalls());
}

TEST_F(SharePathTest, LibraryAnswerWinsOverALaterEquivalentRoot) {
  SharePathManager manager;
  manager.GetSharePath("/vol1/media/a.mkv");
  // An identity answer for the volume would cut the key /vol1, which lies
  // above the cached root; the cached root stays and keeps answering.
  fake::World().share_path_by_vol = [](const std::string& path) { return path; };
  EXPECT_EQ("/vol1", manager.GetSharePath("/vol1"));
  EXPECT_EQ("/media/b.mkv", manager.GetSharePath("/vol1/media/b.mkv"));
  EXPECT_EQ(2u, LibraryCalls());
}

// Roots whose names extend each other with bytes that sort before '/'
// ("a", "a-b", "a.b") put a sibling between a root and the paths below it in
// plain string order; every insertion order must keep answering from the
// cache.
TEST_F(SharePathTest, SiblingRootsThatSortBetweenARootAndItsFiles) {
  const std::vector<std::vector<std::string>> orders = {
      {"/vol1/a", "/vol1/a-b", "/vol1/a.b"},
      {"/vol1/a.b", "/vol1/a-b", "/vol1/a"},
      {"/vol1/a-b", "/vol1/a", "/vol1/a.b"},
  };
  for (const auto& order : orders) {
    fake::ResetWorld();
    fake::World().share_path_by_vol = ShareOf;
    SharePathManager manager;
    for (const std::string& root : order) manager.GetSharePath(root + "/first.mkv");
    ASSERT_EQ(3u, LibraryCalls());
    EXPECT_EQ("/a/x/y.mkv", manager.GetSharePath("/vol1/a/x/y.mkv"));
    EXPECT_EQ("/a-b/y.mkv", manager.GetSharePath("/vol1/a-b/y.mkv"));
    EXPECT_EQ("/a.b/y.mkv", manager.GetSharePath("/vol1/a.b/y.mkv"));
    EXPECT_EQ("/a", manager.GetSharePath("/vol1/a"));
    EXPECT_EQ(3u, LibraryCalls()) << "first root " << order[0];
  }
}

TEST_F(SharePathTest, ProcessWideInstance) {
  EXPECT_EQ("", Kinoro::webapi::GetSharePath(""));
  EXPECT_EQ(0u, LibraryCalls());
  EXPECT_EQ("/video/a.mkv", Kinoro::webapi::GetSharePath("/vol2/video/a.mkv"));
  EXPECT_EQ("/video/b.mkv", Kinoro::webapi::GetSharePath("/vol2/video/b.mkv"));
  EXPECT_EQ(1u, LibraryCalls());
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

TEST_F(SharePathTest, ApplySharePathOnEveryShapeOfFile) {
  struct Case {
    const char* what;
    const char* input;
    const char* expected;
  } cases[] = {
      {"no file member", R"({"title": "x"})", R"({"title": "x"})"},
      {"file is a string", R"({"file": "/vol1/media/a.mkv"})", R"({"file": "/vol1/media/a.mkv"})"},
      {"file is an object", R"({"file": {"path": "/vol1/media/a.mkv"}})",
       R"({"file": {"path": "/vol1/media/a.mkv"}})"},
      {"file is null", R"({"file": null})", R"({"file": null})"},
      {"empty file array", R"({"file": []})", R"({"file": []})"},
      {"value is an array", R"([{"file": []}])", R"([{"file": []}])"},
      {"value is null", "null", "null"},
      {"files", R"({"file": [{"path": "/vol1/media/a.mkv"}, {"path": "/vol2/video/b.mkv"}]})",
       R"({"file": [{"path": "/vol1/media/a.mkv", "sharepath": "/media/a.mkv"},
                    {"path": "/vol2/video/b.mkv", "sharepath": "/video/b.mkv"}]})"},
      {"existing sharepath overwritten",
       R"({"file": [{"path": "/vol1/media/a.mkv", "sharepath": "/old", "size": 3}]})",
       R"({"file": [{"path": "/vol1/media/a.mkv", "sharepath": "/media/a.mkv", "size": 3}]})"},
      {"file without path", R"({"file": [{"size": 1}]})",
       R"({"file": [{"size": 1, "path": null, "sharepath": ""}]})"},
      {"path outside every share", R"({"file": [{"path": "/tmp/x.mkv"}]})",
       R"({"file": [{"path": "/tmp/x.mkv", "sharepath": ""}]})"},
      {"null element becomes a file object", R"({"file": [null]})",
       R"({"file": [{"path": null, "sharepath": ""}]})"},
      {"elements that cannot take members are left alone",
       R"({"file": ["/vol1/media/a.mkv", 5, [1], {"path": "/vol1/media/a.mkv"}]})",
       R"({"file": ["/vol1/media/a.mkv", 5, [1],
                    {"path": "/vol1/media/a.mkv", "sharepath": "/media/a.mkv"}]})"},
      {"path without a string form", R"({"file": [{"path": ["/vol1/media/a.mkv"]}]})",
       R"({"file": [{"path": ["/vol1/media/a.mkv"], "sharepath": ""}]})"},
  };
  for (const Case& c : cases) {
    Json::Value value = Parse(c.input);
    Kinoro::webapi::ApplySharePath(value);
    EXPECT_EQ(Parse(c.expected), value) << c.what << ": " << value.toStyledString();
  }
}

}  // namespace
