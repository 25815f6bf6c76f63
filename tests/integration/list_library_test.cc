// "list_library" through the loaded module, the host's getters and the real
// database library.
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/integration/module_fixture.h"

namespace integration {
namespace {

const char kApi[] = "VELM.Kinoro.AcrossLibrary";

// Libraries whose newest video times give a known order: 4 (2024-04),
// 3 (2024-03, private to 1027), 2 (2024-02), 5 (private to nobody, 2024-05),
// 1 has no video.
const char kDocument[] = R"({
  "libraries": [
    {"id": 1, "title": "Empty", "type": "movie", "public": true},
    {"id": 2, "title": "Old", "type": "movie", "public": true},
    {"id": 3, "title": "Private", "type": "movie", "public": false, "users": [1027]},
    {"id": 4, "title": "Series", "type": "tvshow", "public": true},
    {"id": 5, "title": "Hidden", "type": "movie", "public": false, "users": []}
  ],
  "movies": [
    {"id": 1, "library_id": 2, "title": "A", "create_time": "2024-01-01T00:00:00Z"},
    {"id": 2, "library_id": 2, "title": "B", "create_time": "2024-02-01T00:00:00Z"},
    {"id": 3, "library_id": 3, "title": "C", "create_time": "2024-03-01T00:00:00Z"},
    {"id": 4, "library_id": 5, "title": "D", "create_time": "2024-05-01T00:00:00Z"}
  ],
  "tvshows": [
    {"id": 1, "library_id": 4, "title": "S", "create_time": "2024-04-01T00:00:00Z",
     "episodes": [{"id": 1, "season": 1, "episode": 1, "title": "E",
                   "create_time": "2024-04-01T00:00:00Z"}]}
  ]
})";

std::vector<int> Ids(const Json::Value& envelope) {
  std::vector<int> ids;
  for (const Json::Value& library : envelope["data"]["libraries"]) ids.push_back(library["id"].asInt());
  return ids;
}

class ListLibraryIntegration : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ("", db_.Import(kDocument));
  }
  Json::Value List(unsigned int uid, bool admin) {
    Json::Value params;
    params["policy"] = "recently_added";
    return Call(kApi, "list_library", params, uid, admin);
  }
};

TEST_F(ListLibraryIntegration, ScopesAndOrdersByNewestVideo) {
  const struct {
    unsigned int uid;
    bool admin;
    std::vector<int> ids;
  } cases[] = {
      {1024, true, {5, 4, 3, 2, 1}},  // everything, empty library last
      {1027, false, {4, 3, 2, 1}},    // public ones and the one naming 1027
      {1026, false, {4, 2, 1}},       // public ones only
      {0, false, {4, 2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    Json::Value envelope = List(c.uid, c.admin);
    ASSERT_TRUE(envelope["success"].asBool()) << envelope;
    EXPECT_EQ(c.ids, Ids(envelope));
    EXPECT_EQ(envelope["data"]["libraries"].size(), envelope["data"]["total"].asUInt());
  }
}

TEST_F(ListLibraryIntegration, RecordShape) {
  Json::Value envelope = List(1024, true);
  ASSERT_TRUE(envelope["success"].asBool());
  const Json::Value& hidden = envelope["data"]["libraries"][0];
  EXPECT_EQ(5, hidden["id"].asInt());
  EXPECT_EQ("Hidden", hidden["title"].asString());
  EXPECT_EQ("movie", hidden["type"].asString());
  EXPECT_FALSE(hidden["public"].asBool());
  EXPECT_EQ("tvshow", envelope["data"]["libraries"][1]["type"].asString());
}

TEST_F(ListLibraryIntegration, BadPolicyAndHostErrors) {
  Json::Value bad;
  bad["policy"] = "top_rating";
  EXPECT_EQ(120, Call(kApi, "list_library", bad, 1024, true)["error"]["code"].asInt());
  EXPECT_EQ(120, Call(kApi, "list_library", Json::Value(Json::objectValue), 1024, true)
                     ["error"]["code"].asInt());
  EXPECT_EQ(103, Call(kApi, "no_such_method", bad, 1024, true)["error"]["code"].asInt());
  EXPECT_EQ(102, Call("VELM.Kinoro.Nothing", "list_library", bad, 1024, true)["error"]["code"].asInt());
}

TEST(ListLibrarySample, EveryUserGetsATotalEqualToTheList) {
  const char* bin = KINORO_BINARY_DIR;
  const std::string sample = std::string(bin) + "/sample/library.json";
  std::ifstream in(sample);
  ASSERT_TRUE(in) << sample << " is built by the sample_library target";
  std::stringstream text;
  text << in.rdbuf();
  videodb_test::TempDb db;
  // Image paths are relative to the document; the temporary folder has none
  // of them, so import only the records.
  Json::Value doc = videodb_test::ParseJson(text.str());
  for (Json::Value& movie : doc["movies"]) {
    movie.removeMember("poster");
    movie.removeMember("backdrops");
  }
  for (Json::Value& show : doc["tvshows"]) {
    show.removeMember("poster");
    show.removeMember("backdrops");
  }
  ASSERT_EQ("", db.Import(Json::FastWriter().write(doc)));

  kinoro::host::Dispatcher dispatcher;
  std::string error;
  ASSERT_TRUE(dispatcher.LoadModule(std::string(bin) + "/libkinoro_webapi.so", &error)) << error;
  Json::Value params;
  params["policy"] = "recently_added";
  for (unsigned int uid : {1024u, 1026u, 1027u}) {
    Json::Value envelope = dispatcher.Call(kApi, "1", "list_library", params, uid, uid == 1024).envelope;
    ASSERT_TRUE(envelope["success"].asBool());
    EXPECT_EQ(envelope["data"]["libraries"].size(), envelope["data"]["total"].asUInt());
    EXPECT_EQ(uid == 1026 ? 2u : 3u, envelope["data"]["total"].asUInt()) << uid;
  }
}

}  // namespace
}  // namespace integration
