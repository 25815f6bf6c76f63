#include "platform/videodb/movielens.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "libkinoro/api.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

using Rows = std::vector<std::vector<std::string>>;

TEST(MovieLensTest, CsvQuotingAndLineEnds) {
  struct Case {
    const char* text;
    Rows rows;
  } cases[] = {
      {"a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}},
      {"a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}},
      {"1,\"Heat, The (1995)\",x\n", {{"1", "Heat, The (1995)", "x"}}},
      {"1,\"say \"\"hi\"\"\",\"two\nlines\"\n", {{"1", "say \"hi\"", "two\nlines"}}},
      {"1,,\n", {{"1", "", ""}}},
      {"\"\"\n\n\n2\n", {{""}, {"2"}}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseCsv(c.text), c.rows) << c.text;
}

TEST(MovieLensTest, ConvertsRatingsGenresTagsAndLinks) {
  videodb_test::TempDb tmp;
  tmp.WriteFile("movies.csv",
                "movieId,title,genres\n"
                "1,Toy Story (1995),Adventure|Animation\n"
                "2,\"City of Lost Children, The (1995)\",(no genres listed)\n"
                "3,Untitled,Drama\n");
  tmp.WriteFile("links.csv", "movieId,imdbId,tmdbId\n1,0114709,862\n2,0112682,\n");
  tmp.WriteFile("ratings.csv",
                "userId,movieId,rating,timestamp\n"
                "1,1,4.0,964982703\n2,1,3.0,964981247\n1,2,5.0,964982000\n");
  tmp.WriteFile("tags.csv",
                "userId,movieId,tag,timestamp\n"
                "2,1,pixar,1445714994\n3,1,pixar,1445714995\n3,1,toys,1445714996\n");
  Json::Value doc;
  std::string error;
  ASSERT_TRUE(MovieLensToJson(tmp.dir(), &doc, &error)) << error;
  ASSERT_EQ(doc["movies"].size(), 3u);
  const Json::Value& toy = doc["movies"][0];
  EXPECT_EQ(toy["title"].asString(), "Toy Story");
  EXPECT_EQ(toy["original_available"].asString(), "1995-01-01");
  EXPECT_DOUBLE_EQ(toy["rating"].asDouble(), 3.5);
  EXPECT_EQ(toy["tmdb_id"].asInt64(), 862);
  EXPECT_EQ(toy["imdb_id"].asString(), "tt0114709");
  EXPECT_EQ(toy["genres"], videodb_test::ParseJson(R"(["Adventure", "Animation"])"));
  EXPECT_EQ(toy["tags"], videodb_test::ParseJson(R"(["pixar", "toys"])"));
  EXPECT_EQ(toy["create_time"].asString(), "2000-07-30T18:20:47Z");  // first rating
  const Json::Value& city = doc["movies"][1];
  EXPECT_EQ(city["title"].asString(), "City of Lost Children, The");
  EXPECT_FALSE(city.isMember("tmdb_id"));
  EXPECT_EQ(city["genres"].size(), 0u);
  const Json::Value& untitled = doc["movies"][2];
  EXPECT_EQ(untitled["title"].asString(), "Untitled");
  EXPECT_FALSE(untitled.isMember("rating"));
  EXPECT_FALSE(untitled.isMember("original_available"));

  for (const char* bad : {"1,1,good,964982703", "1,1x,4.0,964982703"}) {
    tmp.WriteFile("ratings.csv", std::string("userId,movieId,rating,timestamp\n") + bad + "\n");
    EXPECT_FALSE(MovieLensToJson(tmp.dir(), &doc, &error)) << bad;
    EXPECT_EQ(error, "ratings.csv line 2: expected userId,movieId,rating,timestamp");
  }
  EXPECT_FALSE(MovieLensToJson(tmp.dir() + "/absent", &doc, &error));
}

// The real MovieLens "small" set, when the shared data folder sits next to
// the source tree; never copied into the repository.
std::string MovieLensDir() {
#ifdef KINORO_SOURCE_DIR
  const char* source = KINORO_SOURCE_DIR;
#else
  const char* source = getenv("KINORO_SOURCE_DIR");
#endif
  std::string dir = std::string(source ? source : ".") + "/../shared/data/movielens-small";
  struct stat st;
  return stat((dir + "/movies.csv").c_str(), &st) == 0 ? dir : "";
}

TEST(MovieLensTest, RealDataImportsAndAnswersQueries) {
  std::string dir = MovieLensDir();
  if (dir.empty()) GTEST_SKIP() << "MovieLens data not present";
  videodb_test::TempDb db;
  std::string out = db.dir() + "/movielens.json";
  long long movies = 0;
  std::string error;
  ASSERT_TRUE(ConvertMovieLens(dir, out, &movies, &error)) << error;
  EXPECT_EQ(movies, 9742);
  Connection* conn = Connection::Get();
  ASSERT_NE(conn, nullptr);
  ASSERT_TRUE(ImportFile(conn, out, false, nullptr, &error)) << error;

  api::MovieAPI api;
  api.uid = 1001;
  std::vector<record::Movie> toy = api.ListInTMDb({862});
  ASSERT_EQ(toy.size(), 1u);
  EXPECT_EQ(toy[0].title, "Toy Story");
  std::vector<record::Movie> top = api.ListTopRating(10);
  ASSERT_EQ(top.size(), 10u);
  for (size_t i = 1; i < top.size(); ++i) EXPECT_GE(top[i - 1].rating, top[i].rating);
  EXPECT_LE(top[0].rating, 5.0);
  EXPECT_GT(api.GetNumMoviesWithTMDbID(), 9600);
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
