#include "common/share_path.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "libkinoro/util.h"

namespace {

using Kinoro::webapi::SharePathManager;
using VELMKinoro::VELMIsEqualOrSubPath;

// Shares as the database library answers for them: "/" and the share name,
// then the rest; empty outside them. VELMIsEqualOrSubPath is seen through
// this answer and through the manager's refusal of nested roots.
std::string ShareOf(const std::string& vol_path) {
  for (const char* root : {"/vol1/media", "/vol1/mediax", "/vol1/a", "/vol1/a-b", "/vol1/a.b"}) {
    if (VELMIsEqualOrSubPath(vol_path, root)) return vol_path.substr(5);
  }
  return "";
}

std::function<std::string(const std::string&)> g_answer = ShareOf;
int g_library_calls = 0;

}  // namespace

// Stands in for the database library's answer in this binary.
std::string LibKinoro::GetSharePathByVolPath(const char* vol_path) {
  ++g_library_calls;
  return g_answer(vol_path);
}

namespace {

TEST(SharePathTest, FirstFileTeachesTheRootLaterOnesAreAnsweredFromIt) {
  SharePathManager manager;
  EXPECT_EQ("/media/films/a.mkv", manager.GetSharePath("/vol1/media/films/a.mkv"));
  EXPECT_EQ("/media/tv/b.mkv", manager.GetSharePath("/vol1/media/tv/b.mkv"));
  EXPECT_EQ("/media", manager.GetSharePath("/vol1/media"));
  EXPECT_EQ(1, g_library_calls);
  // Shares the root's name as a prefix only: not below it.
  EXPECT_EQ("/mediax/c.mkv", manager.GetSharePath("/vol1/mediax/c.mkv"));
  EXPECT_EQ("/mediax/d.mkv", manager.GetSharePath("/vol1/mediax/d.mkv"));
  EXPECT_EQ(2, g_library_calls);
  // An ancestor of a known root is not below it: the library answers.
  EXPECT_EQ("", manager.GetSharePath("/vol1"));
  EXPECT_EQ(3, g_library_calls);

  // The process-wide instance, which never asks about the empty path.
  EXPECT_EQ("", Kinoro::webapi::GetSharePath(""));
  EXPECT_EQ("/a/x.mkv", Kinoro::webapi::GetSharePath("/vol1/a/x.mkv"));
  EXPECT_EQ("/a/y.mkv", Kinoro::webapi::GetSharePath("/vol1/a/y.mkv"));
  EXPECT_EQ(4, g_library_calls);
}

// Only an answer that is the volume path's own tail from a "/" on names a
// root; an empty one would map the volume's first folder to itself.
TEST(SharePathTest, AnswersThatNameNoRootAreNotCached) {
  for (const char* text :
       {"", "/elsewhere/a.mkv", "/media", "media/a.mkv", "/x/vol1/media/a.mkv"}) {
    const std::string answer = text;
    g_answer = [&answer](const std::string&) { return answer; };
    g_library_calls = 0;
    SharePathManager manager;
    EXPECT_EQ(answer, manager.GetSharePath("/vol1/media/a.mkv"));
    EXPECT_EQ(answer, manager.GetSharePath("/vol1/media/b.mkv"));
    EXPECT_EQ(2, g_library_calls) << '"' << answer << '"';
  }
  // A root above a known one does not replace it.
  g_answer = ShareOf;
  SharePathManager manager;
  manager.GetSharePath("/vol1/media/a.mkv");
  g_answer = [](const std::string& path) { return path; };
  EXPECT_EQ("/vol1", manager.GetSharePath("/vol1"));
  EXPECT_EQ("/media/b.mkv", manager.GetSharePath("/vol1/media/b.mkv"));
}

// "a-b" and "a.b" sort between "/vol1/a" and "/vol1/a/x" in plain string
// order ('-' and '.' come before '/'); every insertion order must still
// answer from the cache.
TEST(SharePathTest, SiblingRootsThatSortBetweenARootAndItsFiles) {
  for (const std::vector<std::string>& order :
       {std::vector<std::string>{"a", "a-b", "a.b"}, {"a.b", "a-b", "a"}, {"a-b", "a", "a.b"}}) {
    SharePathManager manager;
    for (const std::string& root : order) manager.GetSharePath("/vol1/" + root + "/first.mkv");
    g_library_calls = 0;
    EXPECT_EQ("/a/x/y.mkv", manager.GetSharePath("/vol1/a/x/y.mkv"));
    EXPECT_EQ("/a-b/y.mkv", manager.GetSharePath("/vol1/a-b/y.mkv"));
    EXPECT_EQ("/a.b/y.mkv", manager.GetSharePath("/vol1/a.b/y.mkv"));
    EXPECT_EQ("/a", manager.GetSharePath("/vol1/a"));
    EXPECT_EQ(0, g_library_calls) << "first root " << order[0];
  }
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

TEST(SharePathTest, ApplySharePathOnEveryShapeOfFile) {
  const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {"[]", "[]"},
      {R"({"file": [{"path": "/vol1/media/a.mkv", "sharepath": "/old"}, {"path": "/tmp/x"}]})",
       R"({"file": [{"path": "/vol1/media/a.mkv", "sharepath": "/media/a.mkv"},
                    {"path": "/tmp/x", "sharepath": ""}]})"},
      // A null element becomes a file object; others that cannot take
      // members are left alone.
      {R"({"file": [null, "/vol1/media/a.mkv", 5]})",
       R"({"file": [{"path": null, "sharepath": ""}, "/vol1/media/a.mkv", 5]})"},
      // Paths without a string form; each after one with it.
      {R"({"file": [{"path": "/vol1/a"}, {"path": ["/vol1/a"]}, {"path": "/vol1/a"}, {"path": 5}]})",
       R"({"file": [{"path": "/vol1/a", "sharepath": "/a"}, {"path": ["/vol1/a"], "sharepath": ""},
                    {"path": "/vol1/a", "sharepath": "/a"}, {"path": 5, "sharepath": ""}]})"},
  };
  for (const auto& c : cases) {
    Json::Value value = Parse(c.input);
    Kinoro::webapi::ApplySharePath(value);
    EXPECT_EQ(Parse(c.expected), value) << c.input;
  }
}

}  // namespace
