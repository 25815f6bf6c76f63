#include "webapi/across_library.h"

#include <gtest/gtest.h>

#include "tests/fakes/api_call.h"
#include "tests/fakes/fake_videodb.h"
#include "webapi/entries.h"

namespace velmkr {
namespace webapi {
namespace {

using LibKinoro::db::record::Library;

Library MakeLibrary(int id, const std::string& title, bool is_public) {
  Library library;
  library.id = id;
  library.title = title;
  library.type = "movie";
  library.is_public = is_public;
  return library;
}

class ListLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::ResetWorld(); }
};

TEST_F(ListLibraryTest, RejectsAnyPolicyButRecentlyAdded) {
  for (const char* params : {R"({})", R"({"policy": ""})", R"({"policy": "top_rating"})",
                             R"({"policy": "Recently_added"})", R"({"policy": "RECENTLY_ADDED"})",
                             R"({"policy": "recently_added "})", R"({"policy": 1})",
                             R"({"policy": ["recently_added"]})"}) {
    SCOPED_TRACE(params);
    fake::ResetWorld();
    fake::CallResult result = fake::Call(AcrossLibraryListLibrary_v1, fake::Params(params));
    EXPECT_FALSE(result.success);
    EXPECT_EQ(120, result.error_code);
    EXPECT_TRUE(result.data.isNull());
    EXPECT_TRUE(fake::World().as_user_calls.empty()) << "the library is not consulted";
  }
}

TEST_F(ListLibraryTest, ScopesTheQueryToTheLoginUser) {
  const struct {
    unsigned int uid;
    bool admin;
  } users[] = {{1026, false}, {1024, true}, {0, false}, {4294967295u, true}};
  for (const auto& user : users) {
    fake::ResetWorld();
    fake::CallResult result = fake::Call(AcrossLibraryListLibrary_v1,
                                         fake::Params(R"({"policy": "recently_added"})"),
                                         user.uid, user.admin);
    ASSERT_TRUE(result.success);
    ASSERT_EQ(1u, fake::World().as_user_calls.size());
    EXPECT_EQ(user.uid, fake::World().as_user_calls[0].first);
    EXPECT_EQ(user.admin, fake::World().as_user_calls[0].second);
  }
}

TEST_F(ListLibraryTest, ListsInTheLibraryOrderWithTotal) {
  fake::World().libraries = {MakeLibrary(3, "Kids", false), MakeLibrary(1, "Films", true),
                             MakeLibrary(2, "Series", true)};
  fake::CallResult result =
      fake::Call(AcrossLibraryListLibrary_v1, fake::Params(R"({"policy": "recently_added"})"));
  ASSERT_TRUE(result.success);
  const Json::Value& libraries = result.data["libraries"];
  ASSERT_EQ(3u, libraries.size());
  EXPECT_EQ(3u, result.data["total"].asUInt());
  EXPECT_TRUE(result.data["total"].isUInt());
  EXPECT_EQ(3, libraries[0]["id"].asInt());
  EXPECT_EQ(1, libraries[1]["id"].asInt());
  EXPECT_EQ(2, libraries[2]["id"].asInt());
  EXPECT_EQ("Kids", libraries[0]["title"].asString());
  EXPECT_FALSE(libraries[0]["public"].asBool());
  EXPECT_EQ(2u, result.data.size()) << "only total and libraries";
}

TEST_F(ListLibraryTest, NoVisibleLibraryIsAnEmptySuccess) {
  fake::CallResult result =
      fake::Call(AcrossLibraryListLibrary_v1, fake::Params(R"({"policy": "recently_added"})"));
  ASSERT_TRUE(result.success);
  EXPECT_EQ(0u, result.data["total"].asUInt());
  EXPECT_TRUE(result.data["libraries"].isArray());
  EXPECT_EQ(0u, result.data["libraries"].size());
}

TEST_F(ListLibraryTest, IgnoresUnknownParameters) {
  fake::World().libraries = {MakeLibrary(1, "Films", true)};
  fake::CallResult result = fake::Call(
      AcrossLibraryListLibrary_v1,
      fake::Params(R"({"policy": "recently_added", "offset": -5, "additional": 7})"));
  ASSERT_TRUE(result.success);
  EXPECT_EQ(1u, result.data["total"].asUInt());
}

}  // namespace
}  // namespace webapi
}  // namespace velmkr
