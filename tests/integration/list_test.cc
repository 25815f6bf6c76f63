// "list_library" and "list_movie" through the loaded module; "tmdb_similar"
// through the real plug-in engine running the scripted plug-ins.
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/module_fixture.h"

namespace integration {
namespace {

const char kApi[] = "VELM.Kinoro.AcrossLibrary";

// Title lines with the TMDb ids, then `fillers` lines that match no movie.
std::string Titles(std::vector<long long> ids, int fillers = 0) {
  for (int i = 0; i < fillers; ++i) ids.push_back(90000 + i);
  std::string lines;
  for (long long id : ids) {
    lines += R"({"title": "t", "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb": )" +
             std::to_string(id) + "}}}}\n";
  }
  return lines;
}

class ListTest : public ModuleTest {
 protected:
  // The counts plug-in `id` was asked for since the last call, in order.
  std::string Asked(const std::string& id) {
    std::string counts;
    std::istringstream requests(kinoro_testing::ReadFile(Plugin(id) + "/requests"));
    for (std::string line; std::getline(requests, line);) {
      const Json::Value request = videodb_test::ParseJson(line);
      EXPECT_EQ(videodb_test::ParseJson(R"({"tmdb_id": 101})"), request["input"]);
      counts += (counts.empty() ? "" : " ") + request["limit"].asString();
    }
    unlink((Plugin(id) + "/requests").c_str());
    return counts;
  }
  // The ids of what list_movie (or list_library) answers.
  std::string List(const std::string& params, unsigned int uid = 1026,
                   const char* method = "list_movie") {
    const kinoro::host::DispatchResult result = Call(kApi, method, params, uid);
    EXPECT_EQ(0, result.ErrorCode()) << params;
    const Json::Value& data = result.envelope["data"];
    const Json::Value& items = data[data.isMember("total") ? "libraries" : "movies"];
    std::string ids;
    for (const Json::Value& item : items) ids += (ids.empty() ? "" : " ") + item["id"].asString();
    if (data.isMember("total")) {
      EXPECT_EQ(Json::Value(Json::UInt(items.size())), data["total"]);
    }
    return ids;
  }
};

// Libraries by their newest video, empty ones last; movies by rating (the
// newer first of equals, the unrated last); each as the user may see.
TEST_F(ListTest, LibrariesAndTopRating) {
  const char* kLibraries = R"({"policy": "recently_added"})";
  EXPECT_EQ("3 2 1 4", List(kLibraries, 1024, "list_library"));
  EXPECT_EQ("2 1 4", List(kLibraries, 1027, "list_library"));
  EXPECT_EQ("1 4", List(kLibraries, 1026, "list_library"));
  EXPECT_EQ("8 10 1 7", List(R"({"policy": "top_rating", "limit": 4})", 1024));
  EXPECT_EQ("10 1 7 2 3", List(R"({"policy": "top_rating", "limit": 5})", 1027));
  EXPECT_EQ("1 2 3 4 6 9 5 11",  // offset and id belong to the other policy
            List(R"({"policy": "top_rating", "limit": 9, "offset": 3, "id": 4})"));
  EXPECT_EQ("", List(R"({"policy": "top_rating", "limit": 0})", 1024));
}

// What the API reference test pins by its code alone (a missing or wrong
// policy, limit or id) is not repeated; here the checks it does not reach and
// the lines each failure logs.
TEST_F(ListTest, Failures) {
  const struct {
    const char* method;
    const char* params;
    int code;
    const char* log;  // the module's lines
  } cases[] = {
      {"list_movie", R"({"policy": "recently_added", "limit": 3})", 120, ""},
      {"list_movie", R"({"policy": "top_rating", "limit": 3, "offset": -1})", 120, ""},
      {"list_movie", R"({"policy": "top_rating", "limit": 3, "id": 0})", 120, ""},
      {"list_movie", R"({"policy": "tmdb_similar", "limit": 3, "id": 99})", 101,
       "plugin_similar:192 cannot find movie id: 99\n"},
      {"list_movie", R"({"policy": "tmdb_similar", "limit": 3, "id": 10})", 101,  // not visible
       "plugin_similar:192 cannot find movie id: 10\n"},
      {"list_movie", R"({"policy": "tmdb_similar", "limit": 3, "id": 9})", 101,
       "plugin_similar:197 the specifed movie doesn't have tmdb id: 9\n"},
      {"list_movie", R"({"policy": "tmdb_similar", "limit": 3, "id": 11})", 0, ""},  // TMDb id 0
      {"list_movie", R"({"policy": "tmdb_similar", "limit": 3, "id": 1, "additional": "file"})",
       101, "across_library:77 bad additional\n"},
  };
  for (const auto& c : cases) {
    kinoro_testing::ClearSyslog();
    EXPECT_EQ(c.code, Call(kApi, c.method, c.params).ErrorCode()) << c.params;
    EXPECT_EQ(c.log, Logged("plugin_similar:") + Logged("across_library:"));
  }
}

// Both policies load the parts asked for, ignore unknown keys and give each
// file its share path; without "additional" a movie has a null one.
TEST_F(ListTest, AdditionalFilesCarrySharePaths) {
  ASSERT_TRUE(kinoro_testing::WriteFile(Plugin("a") + "/titles", Titles({102})));
  for (const std::string policy : {"top_rating", "tmdb_similar"}) {
    const Json::Value movies =
        Call(kApi, "list_movie", R"({"policy": ")" + policy +
             R"(", "id": 1, "limit": 2, "additional": ["file", "summary", "no_such_key"]})")
            .envelope["data"]["movies"];
    const Json::Value& movie = movies[movies.size() - 1];  // movie 2 comes last
    EXPECT_EQ("War.", movie["additional"]["summary"].asString()) << policy << movies;
    EXPECT_EQ(videodb_test::ParseJson(R"([{"id": 1, "path": ")" + db_.dir() + R"(/films/Aliens.mkv",
        "sharepath": "/media/films/Aliens.mkv", "size": 0, "duration": 0.0}])"),
              movie["additional"]["file"]);
  }
  const Json::Value plain =
      Call(kApi, "list_movie", R"({"policy": "top_rating", "limit": 1})").envelope;
  EXPECT_TRUE(plain["data"]["movies"][0].isMember("additional")) << plain;
  EXPECT_TRUE(plain["data"]["movies"][0]["additional"].isNull());
}

// The page is the window [offset, offset + limit) of the movies the user may
// see whose TMDb ids the plug-ins name, in their order, never the given movie
// or a copy of it. Passes ask for five times the page, then five times that,
// at most 100 titles, until the page is full or the plug-ins run dry; each
// plug-in is asked for what the pass still wants.
TEST_F(ListTest, SimilarPagesAndPasses) {
  const std::string kRanked = Titles({101, 102, 103, 104, 108, 105, 106, 999});
  const struct {
    unsigned int uid;
    const char* params;
    std::string a, b;  // the titles of the scripted plug-ins
    const char *asked_a, *asked_b, *ids;
  } cases[] = {
      {1026, R"("id": 1, "limit": 3)", kRanked, "", "15", "7", "2 3 4"},
      {1027, R"("id": 1, "limit": 3)", kRanked, "", "15", "7", "2 3 7"},
      {1026, R"("id": 1, "limit": 2, "offset": 2)", kRanked, "", "10", "2", "4 5"},
      {1026, R"("id": 1, "limit": 10, "offset": 4)", kRanked, "", "50", "42", "6"},
      {1026, R"("id": 1, "limit": 5, "offset": 7)", kRanked, "", "", "", ""},  // no more movies
      {1027, R"("id": 10, "limit": 20)", kRanked, "", "100", "92", "2 3 7 4 5 6"},
      // 5, 25, then the cap of 100; it ends the selection, also when exact.
      {1026, R"("id": 1, "limit": 1)", Titles({}, 149) + Titles({102}), "", "5 25 100", "0 0 0",
       ""},
      {1026, R"("id": 1, "limit": 1)", Titles({}, 99) + Titles({102}), "", "5 25 100", "0 0 0",
       "2"},
      {1026, R"("id": 1, "limit": 20)", Titles({102}, 200), "", "100", "0", "2"},
      {1026, R"("id": 1, "limit": 2)", Titles({102, 104}, 200), "", "10", "0", "2 4"},  // full
      {1026, R"("id": 1, "limit": 1)", Titles({102}, 3), Titles({}, 200), "5", "1", "2"},
      // A pass that reaches the offset but does not fill the page: the next
      // one goes on from where it ended.
      {1026, R"("id": 1, "limit": 2, "offset": 1)", Titles({102, 103}, 10) + Titles({104}, 50), "",
       "10 50", "0 0", "3 4"},
      {1026, R"("id": 1, "limit": 1, "offset": 3)",
       Titles({}, 2) + Titles({102}, 4) + Titles({104, 105, 106}), "", "5 25", "0 15", "6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.uid) + c.params);
    ASSERT_TRUE(kinoro_testing::WriteFile(Plugin("a") + "/titles", c.a));
    ASSERT_TRUE(kinoro_testing::WriteFile(Plugin("b") + "/titles", c.b));
    EXPECT_EQ(c.ids, List(std::string(R"({"policy": "tmdb_similar", )") + c.params + "}", c.uid));
    EXPECT_EQ(c.asked_a, Asked("a"));
    EXPECT_EQ(c.asked_b, Asked("b"));
  }
  EXPECT_EQ("", Logged("plugin_similar:")) << "tmdb is skipped silently";
}

// A plug-in's answer is used when its first title has a "title" that is not
// empty (later titles are not looked at); an empty or failed one is skipped
// quietly, any other with a log line. "b" always names movie 2.
TEST_F(ListTest, UnusableAnswersAreSkipped) {
  const std::string kLog = "plugin_similar:90 Invalid Result: a, \n";
  const std::string k103 = Titles({103});
  ASSERT_TRUE(kinoro_testing::WriteFile(Plugin("b") + "/titles", Titles({102})));
  const struct {
    std::string answer;  // plug-in "a"'s
    const char* ids;
    std::string log;
  } cases[] = {
      {"[" + k103.substr(0, k103.size() - 1) + R"(, {"name": "C"}, 5])", "3 2", ""},
      {R"([{"title": "", "x": 1}])", "2", ""},  // "" is a title, just an empty one
      {k103, "2", kLog},                        // an object, no list
      {R"([{"name": "A"}, )" + k103.substr(0, k103.size() - 1) + "]", "2", kLog},
      {R"([{"title": []}])", "2", kLog},
      {"[]", "2", ""},
      {"not JSON", "2", ""},  // a failed lookup
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    ASSERT_TRUE(kinoro_testing::WriteFile(Plugin("a") + "/answer", c.answer));
    kinoro_testing::ClearSyslog();
    EXPECT_EQ(c.ids, List(R"({"policy": "tmdb_similar", "id": 1, "limit": 3})"));
    EXPECT_EQ(c.log, Logged("plugin_similar:"));
  }
}

}  // namespace
}  // namespace integration
