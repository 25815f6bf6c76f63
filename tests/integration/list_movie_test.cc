// "list_movie" through the loaded module, the host's getters, the real
// database library and, for "tmdb_similar", the real plug-in engine running
// the local_similar plug-in against the same temporary database.
#include <unistd.h>

#include <string>
#include <vector>

#include "common/testing/temp_dir.h"
#include "platform/plugin/plugin_config.h"
#include "platform/services/share_config.h"
#include "tests/integration/module_fixture.h"

namespace integration {
namespace {

const char kApi[] = "VELM.Kinoro.AcrossLibrary";

// Films (public), Archive (private to 1027) and Hidden (private to nobody).
// Ranked by local_similar against Alien (TMDb 348): Aliens 679, Blade Runner
// 78 (movies 3 and 11), Moon 17431, Gravity 49047, Sunshine 1272, Solaris
// 593, The Terminator 218. Notting Hill and Heat share nothing with it;
// Prometheus has no TMDb id; movie 10 is another Alien. Every movie has the
// same creation time, so equal ratings rank by id.
const char kDocument[] = R"({
  "libraries": [{"id": 1, "title": "Films", "type": "movie", "public": true},
                {"id": 2, "title": "Archive", "type": "movie", "public": false, "users": [1027]},
                {"id": 3, "title": "Hidden", "type": "movie", "public": false, "users": []}],
  "movies": [
    {"id": 1, "library_id": 1, "title": "Alien", "tmdb_id": 348, "rating": 8.1,
     "genres": ["Horror", "Science Fiction"], "directors": ["Ridley Scott"],
     "actors": ["Sigourney Weaver", "Tom Skerritt"], "tags": ["space", "alien"],
     "collection": "Alien Collection"},
    {"id": 2, "library_id": 1, "title": "Aliens", "tmdb_id": 679, "rating": 7.9,
     "summary": "This time it's war.",
     "genres": ["Action", "Science Fiction"], "directors": ["James Cameron"],
     "actors": ["Sigourney Weaver"], "tags": ["space", "alien"],
     "collection": "Alien Collection",
     "files": [{"id": 1, "path": "@ROOT@/films/Aliens.mkv", "size": 1234, "duration": 8220}]},
    {"id": 3, "library_id": 1, "title": "Blade Runner", "tmdb_id": 78, "rating": 7.9,
     "genres": ["Science Fiction", "Drama"], "directors": ["Ridley Scott"],
     "actors": ["Harrison Ford"]},
    {"id": 4, "library_id": 1, "title": "The Terminator", "tmdb_id": 218, "rating": 7.6,
     "genres": ["Action", "Science Fiction"], "directors": ["James Cameron"], "tags": ["cyborg"]},
    {"id": 5, "library_id": 1, "title": "Gravity", "tmdb_id": 49047, "rating": 7.2,
     "genres": ["Science Fiction", "Drama"], "tags": ["space"]},
    {"id": 6, "library_id": 1, "title": "Sunshine", "tmdb_id": 1272, "rating": 7.2,
     "genres": ["Science Fiction"], "tags": ["space"]},
    {"id": 7, "library_id": 1, "title": "Moon", "tmdb_id": 17431, "rating": 7.6,
     "genres": ["Science Fiction", "Drama"], "tags": ["space"]},
    {"id": 8, "library_id": 1, "title": "Notting Hill", "tmdb_id": 509,
     "genres": ["Romance", "Comedy"]},
    {"id": 9, "library_id": 1, "title": "Prometheus", "genres": ["Science Fiction"],
     "directors": ["Ridley Scott"], "collection": "Alien Collection"},
    {"id": 10, "library_id": 2, "title": "Alien", "tmdb_id": 348, "rating": 8.1,
     "genres": ["Science Fiction"], "tags": ["alien"]},
    {"id": 11, "library_id": 2, "title": "Blade Runner", "tmdb_id": 78, "rating": 7.9,
     "genres": ["Science Fiction"], "directors": ["Ridley Scott"]},
    {"id": 12, "library_id": 1, "title": "Solaris", "tmdb_id": 593,
     "genres": ["Science Fiction", "Drama"], "tags": ["space"]},
    {"id": 13, "library_id": 3, "title": "Heat", "tmdb_id": 949, "rating": 9.0,
     "genres": ["Crime"]}
  ]})";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::vector<int> Ids(const Json::Value& envelope) {
  std::vector<int> ids;
  for (const Json::Value& movie : envelope["data"]["movies"]) ids.push_back(movie["id"].asInt());
  return ids;
}

class ListMovieIntegration : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ("", db_.Import(Replace(kDocument, "@ROOT@", db_.dir())));
    // One share, "media", whose root is the database's folder.
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + db_.dir() + R"("}]})"));

    // The plug-in folder holds local_similar only; "tmdb" stays ranked
    // first, as in the default configuration, and is skipped as not
    // installed, so no lookup leaves the machine.
    const std::string folder = plugins_.File("plugins");
    ASSERT_TRUE(kinoro_testing::MakeDirs(folder + "/local_similar"));
    const std::string info =
        kinoro_testing::ReadFile(std::string(KINORO_SOURCE_DIR) + "/plugins/local_similar/INFO");
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(kinoro_testing::WriteFile(folder + "/local_similar/INFO", info));
    const std::string program =
        std::string(KINORO_BINARY_DIR) + "/plugins/local_similar/local_similar";
    ASSERT_EQ(0, symlink(program.c_str(), (folder + "/local_similar/local_similar").c_str()));
    Json::Value conf;
    conf["priority"]["movie"]["similar"].append("tmdb");
    conf["priority"]["movie"]["similar"].append("local_similar");
    conf["settings"]["local_similar"]["database"] = db_.db_path();
    ASSERT_TRUE(kinoro_testing::WriteFile(plugins_.File("plugins.conf"), conf.toStyledString()));
    velm_plugin::SetPluginFolder(folder);
    velm_plugin::SetPluginConfPath(plugins_.File("plugins.conf"));
  }

  void TearDown() override {
    velm_plugin::SetPluginFolder("");
    velm_plugin::SetPluginConfPath("");
    VELMShareSetConfigPath("");
  }

  Json::Value List(const std::string& params, unsigned int uid, bool admin) {
    return Call(kApi, "list_movie", videodb_test::ParseJson(params), uid, admin);
  }

  kinoro_testing::TempDir plugins_;
};

TEST_F(ListMovieIntegration, TopRatingIsScopedOrderedAndLimited) {
  const struct {
    unsigned int uid;
    bool admin;
    int limit;
    std::vector<int> ids;
  } cases[] = {
      {1024, true, 4, {13, 1, 10, 2}},  // the hidden library too
      {1027, false, 5, {1, 10, 2, 3, 11}},
      {1026, false, 5, {1, 2, 3, 4, 7}},
      {1026, false, 50, {1, 2, 3, 4, 7, 5, 6, 8, 9, 12}},  // unrated last
      {0, false, 3, {1, 2, 3}},
      {1024, true, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("uid " + std::to_string(c.uid) + " limit " + std::to_string(c.limit));
    const Json::Value envelope = List(
        R"({"policy": "top_rating", "limit": )" + std::to_string(c.limit) + "}", c.uid, c.admin);
    ASSERT_TRUE(envelope["success"].asBool()) << envelope;
    EXPECT_EQ(c.ids, Ids(envelope));
  }
}

TEST_F(ListMovieIntegration, AdditionalFilesCarrySharePaths) {
  for (const char* policy : {"top_rating", "tmdb_similar"}) {
    SCOPED_TRACE(policy);
    // Aliens is second by rating and first by similarity to Alien.
    const Json::Value envelope = List(std::string(R"({"policy": ")") + policy +
                                          R"(", "id": 1, "limit": 2, "offset": 0,
                                             "additional": ["file", "summary"]})",
                                      1026, false);
    ASSERT_TRUE(envelope["success"].asBool()) << envelope;
    const Json::Value* aliens = nullptr;
    for (const Json::Value& movie : envelope["data"]["movies"]) {
      if (movie["id"].asInt() == 2) aliens = &movie;
    }
    ASSERT_NE(nullptr, aliens) << envelope;
    const Json::Value& files = (*aliens)["additional"]["file"];
    ASSERT_EQ(1u, files.size()) << *aliens;
    EXPECT_EQ(db_.dir() + "/films/Aliens.mkv", files[0]["path"].asString());
    EXPECT_EQ("/media/films/Aliens.mkv", files[0]["sharepath"].asString());
    EXPECT_EQ("This time it's war.", (*aliens)["additional"]["summary"].asString());
  }

  // Without "additional" the record has no parts: a null member.
  const Json::Value plain = List(R"({"policy": "top_rating", "limit": 1})", 1026, false);
  ASSERT_TRUE(plain["success"].asBool()) << plain;
  ASSERT_EQ(1u, plain["data"]["movies"].size());
  EXPECT_TRUE(plain["data"]["movies"][0].isMember("additional"));
  EXPECT_TRUE(plain["data"]["movies"][0]["additional"].isNull());
}

TEST_F(ListMovieIntegration, SimilarPagesThroughTheLocalPlugin) {
  // Matches in order: 2, 3, 11 (Archive), 7, 5, 6, 12, 4. User 1026 sees 9
  // movies with a TMDb id, the others 1027 and the administrator 11 and 12.
  const struct {
    unsigned int uid;
    bool admin;
    int id;
    const char* window;
    std::vector<int> ids;
  } cases[] = {
      {1026, false, 1, R"("limit": 3)", {2, 3, 7}},
      {1027, false, 1, R"("limit": 3)", {2, 3, 11}},
      {1024, true, 1, R"("limit": 3, "offset": 1)", {3, 11, 7}},
      {1026, false, 1, R"("limit": 2, "offset": 2)", {7, 5}},
      {1026, false, 1, R"("limit": 10, "offset": 5)", {12, 4}},
      {1026, false, 1, R"("limit": 1)", {2}},
      // The first pass (5 titles) ends before the offset; the second (25
      // asked, 7 given) reaches it.
      {1026, false, 1, R"("limit": 1, "offset": 6)", {4}},
      {1026, false, 1, R"("limit": 5, "offset": 7)", {}},
      {1026, false, 1, R"("limit": 5, "offset": 9)", {}},  // past the count
      // Another copy of Alien as the given movie: the same answer, never
      // itself or the first copy.
      {1027, false, 10, R"("limit": 20)", {2, 3, 11, 7, 5, 6, 12, 4}},
      // Shares nothing with anything.
      {1024, true, 13, R"("limit": 5)", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("uid " + std::to_string(c.uid) + " id " + std::to_string(c.id) + " " + c.window);
    const Json::Value envelope =
        List(R"({"policy": "tmdb_similar", "id": )" + std::to_string(c.id) + ", " + c.window + "}",
             c.uid, c.admin);
    ASSERT_TRUE(envelope["success"].asBool()) << envelope;
    EXPECT_TRUE(envelope["data"]["movies"].isArray()) << envelope;
    EXPECT_EQ(c.ids, Ids(envelope));
  }
}

TEST_F(ListMovieIntegration, SimilarFailures) {
  const struct {
    const char* params;
    unsigned int uid;
    int code;
  } cases[] = {
      {R"({"policy": "tmdb_similar", "limit": 3})", 1026, 120},
      {R"({"policy": "tmdb_similar", "limit": 3, "id": 999})", 1026, 101},
      {R"({"policy": "tmdb_similar", "limit": 3, "id": 9})", 1026, 101},   // no TMDb id
      {R"({"policy": "tmdb_similar", "limit": 3, "id": 10})", 1026, 101},  // not visible
      {R"({"policy": "tmdb_similar", "limit": 3, "id": 0})", 1026, 120},
      {R"({"policy": "tmdb_similar", "limit": 3, "id": 1, "additional": "file"})", 1026, 101},
      {R"({"policy": "recently_added", "limit": 3})", 1026, 120},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    const Json::Value envelope = List(c.params, c.uid, false);
    EXPECT_FALSE(envelope["success"].asBool()) << envelope;
    EXPECT_EQ(c.code, envelope["error"]["code"].asInt()) << envelope;
  }
}

TEST_F(ListMovieIntegration, NoRankedPluginGivesAnEmptyPage) {
  ASSERT_TRUE(kinoro_testing::WriteFile(plugins_.File("plugins.conf"), "{}"));
  const Json::Value envelope =
      List(R"({"policy": "tmdb_similar", "id": 1, "limit": 3})", 1024, true);
  ASSERT_TRUE(envelope["success"].asBool()) << envelope;
  EXPECT_TRUE(envelope["data"]["movies"].isArray());
  EXPECT_EQ(0u, envelope["data"]["movies"].size());
}

}  // namespace
}  // namespace integration
