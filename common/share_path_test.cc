#include "common/share_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/testing/fake_videodb.h"
#include "libkinoro/util.h"

namespace {

using Kinoro::webapi::SharePathManager;

// Shares as the database library answers for them: "/" and the share name,
// then the rest; empty outside them. VELMIsEqualOrSubPath is seen through
// this answer and through the manager's refusal of nested roots.
std::string ShareOf(const std::string& vol_path) {
  for (const char* root : {"/vol1/media", "/vol1/mediax", "/vol1/a", "/vol1/a-b", "/vol1/a.b"}) {
    if (VELMKinoro::VELMIsEqualOrSubPath(vol_path, root)) return vol_path.substr(5);
  }
  return "";
}

size_t Asked() { return fake::World().share_path_calls.size(); }

class SharePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::ResetWorld();
    fake::World().share_path_by_vol = ShareOf;
  }
};

TEST_F(SharePathTest, FirstFileTeachesTheRootLaterOnesAreAnsweredFromIt) {
  SharePathManager manager;
  EXPECT_EQ("/media/films/a.mkv", manager.GetSharePath("/vol1/media/films/a.mkv"));
  EXPECT_EQ("/media/tv/b.mkv", manager.GetSharePath("/vol1/media/tv/b.mkv"));
  EXPECT_EQ("/media", manager.GetSharePath("/vol1/media"));
  EXPECT_EQ(1u, Asked());
  // Shares the root's name as a prefix only: not below it.
  EXPECT_EQ("/mediax/c.mkv", manager.GetSharePath("/vol1/mediax/c.mkv"));
  EXPECT_EQ("/mediax/d.mkv", manager.GetSharePath("/vol1/mediax/d.mkv"));
  EXPECT_EQ(2u, Asked());
  // An ancestor of a known root is not below it: the library answers.
  EXPECT_EQ("", manager.GetSharePath("/vol1"));
  EXPECT_EQ(3u, Asked());
  // The process-wide instance, which never asks about the empty path.
  EXPECT_EQ("", Kinoro::webapi::GetSharePath(""));
  EXPECT_EQ("/a/x.mkv", Kinoro::webapi::GetSharePath("/vol1/a/x.mkv"));
  EXPECT_EQ("/a/y.mkv", Kinoro::webapi::GetSharePath("/vol1/a/y.mkv"));
  EXPECT_EQ(4u, Asked());
}

// Only an answer that is the volume path's own tail from a "/" on names a
// root; an empty one would map the volume's first folder to itself.
TEST_F(SharePathTest, AnswersThatNameNoRootAreNotCached) {
  for (const std::string answer :
       {"", "/elsewhere/a.mkv", "/media", "media/a.mkv", "/x/vol1/media/a.mkv"}) {
    fake::World().share_path_by_vol = [&answer](const std::string&) { return answer; };
    SharePathManager manager;
    const size_t before = Asked();
    EXPECT_EQ(answer, manager.GetSharePath("/vol1/media/a.mkv"));
    EXPECT_EQ(answer, manager.GetSharePath("/vol1/media/b.mkv"));
    EXPECT_EQ(before + 2, Asked()) << '"' << answer << '"';
  }
  // A root above a known one does not replace it.
  fake::World().share_path_by_vol = ShareOf;
  SharePathManager manager;
  manager.GetSharePath("/vol1/media/a.mkv");
  fake::World().share_path_by_vol = [](const std::string& path) { return path; };
  EXPECT_EQ("/vol1", manager.GetSharePath("/vol1"));
  EXPECT_EQ("/media/b.mkv", manager.GetSharePath("/vol1/media/b.mkv"));
}

// "a-b" and "a.b" sort between "/vol1/a" and "/vol1/a/x" in plain string
// order ('-' and '.' come before '/'); every insertion order must still
// answer from the cache.
TEST_F(SharePathTest, SiblingRootsThatSortBetweenARootAndItsFiles) {
  for (const std::vector<std::string>& order :
       {std::vector<std::string>{"a", "a-b", "a.b"}, {"a.b", "a-b", "a"}, {"a-b", "a", "a.b"}}) {
    SharePathManager manager;
    for (const std::string& root : order) manager.GetSharePath("/vol1/" + root + "/first.mkv");
    const size_t before = Asked();
    EXPECT_EQ("/a/x/y.mkv", manager.GetSharePath("/vol1/a/x/y.mkv"));
    EXPECT_EQ("/a-b/y.mkv", manager.GetSharePath("/vol1/a-b/y.mkv"));
    EXPECT_EQ("/a.b/y.mkv", manager.GetSharePath("/vol1/a.b/y.mkv"));
    EXPECT_EQ("/a", manager.GetSharePath("/vol1/a"));
    EXPECT_EQ(before, Asked()) << "first root " << order[0];
  }
}

// The list movie test maps file objects end to end; here the shapes a
// client's JSON can have besides: a null element becomes a file object,
// others that cannot take members are left alone, and a path without a
// string form (each after one with it) maps to "".
TEST_F(SharePathTest, ApplySharePathOnOddShapesOfFile) {
  Json::Value value;
  Json::Reader().parse(R"({"file": [null, "/vol1/a", {"path": "/vol1/a"}, {"path": ["/vol1/a"]},
                                    {"path": "/vol1/a"}, {"path": 5}]})", value);
  Kinoro::webapi::ApplySharePath(value);
  Json::Value expected;
  Json::Reader().parse(R"({"file": [{"path": null, "sharepath": ""}, "/vol1/a",
      {"path": "/vol1/a", "sharepath": "/a"}, {"path": ["/vol1/a"], "sharepath": ""},
      {"path": "/vol1/a", "sharepath": "/a"}, {"path": 5, "sharepath": ""}]})", expected);
  EXPECT_EQ(expected, value);
  Json::Value list(Json::arrayValue);
  Kinoro::webapi::ApplySharePath(list);
  EXPECT_EQ(Json::Value(Json::arrayValue), list);
}

}  // namespace
