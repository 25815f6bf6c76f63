#include "platform/videodb/importer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "libkinoro/api.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/tool_commands.h"
#include "tests/videodb/temp_db.h"

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

using videodb_test::TempDb;

const char kBase[] = R"({
  "libraries": [{"id": 1, "title": "Films", "type": "movie"}],
  "movies": [{"id": 1, "library_id": 1, "title": "Kept", "files": [{"id": 1, "path": "/v/a.mkv"}]}]
})";

TEST(ImporterTest, BadDocumentsNameTheMemberAndChangeNothing) {
  // Records are parsed ahead of the writes: a bad record ends the import
  // however much text follows it, and its fault wins over broken text after.
  std::string many = R"({"movies": [{"library_id": 1}, {"library_id": 1, "title": 7})";
  for (int i = 0; i < 2000; ++i) many += R"(, {"library_id": 1, "title": "t"})";
  many += "]}";
  struct Case {
    const char* doc;
    const char* error;
  } cases[] = {
      {R"([1, 2])", "document: expected an object"},
      {R"({"movies": {}})", "movies: expected an array"},
      {R"({"libraries": [{"id": 2, "type": "music"}]})",
       "libraries[0].type: expected \"movie\", \"tvshow\" or \"home_video\""},
      {R"({"libraries": [{"id": 2, "users": [5, -1]}]})",
       "libraries[0].users[1]: expected a user id"},
      {R"({"movies": [{"library_id": 1, "title": "a"}, {"library_id": 1}, {"library_id": 1},
                      {"library_id": 1, "title": 7}]})",
       "movies[3].title: expected a string"},
      {R"({"movies": [{"library_id": 9}]})", "movies[0].library_id: no library 9"},
      {R"({"movies": [{"library_id": 9}, {"title" 1}]})", "movies[0].library_id: no library 9"},
      {many.c_str(), "movies[1].title: expected a string"},
      {R"({"movies": [{"library_id": 1, "rating": "high"}]})",
       "movies[0].rating: expected a number"},
      {R"({"movies": [{"library_id": 1, "genres": ["Drama", 3]}]})",
       "movies[0].genres[1]: expected a string"},
      {R"({"movies": [{"library_id": 1, "create_time": "yesterday"}]})",
       "movies[0].create_time: expected a time such as 2024-01-02T03:04:05Z"},
      {R"({"movies": [{"library_id": 1, "files": [{"path": "relative.mkv"}]}]})",
       "movies[0].files[0].path: expected an absolute path"},
      {R"({"movies": [{"library_id": 1, "poster": "missing.jpg"}]})",
       "movies[0].poster: cannot read image"},
      {R"({"movies": [{"library_id": 1, "from_name": ["title", "files"]}]})",
       "movies[0].from_name[1]: expected the name of a metadata member"},
      {R"({"libraries": [{"id": 2, "paths": ["/media/films", "media/tv"]}]})",
       "libraries[0].paths[1]: expected a share path such as /media/films"},
      {R"({"libraries": [{"id": 2, "paths": ["/media/../etc"]}]})", "libraries[0].paths[0]"},
      {R"({"libraries": [{"id": 2, "paths": ["/media/films/"]}]})", "libraries[0].paths[0]"},
      {R"({"tvshows": [{"library_id": 1, "episodes": [{"season": -1}]}]})",
       "tvshows[0].episodes[0].season: expected an integer from 0"},
      {R"({"conversion_tasks": [{"file_id": 99}]})", "conversion_tasks[0].file_id: no file 99"},
      {R"({"conversion_tasks": [{"file_id": 1, "state": "paused"}]})",
       "conversion_tasks[0].state: expected"},
      // A clash with a stored row fails at the database and still names the member.
      {R"({"movies": [{"id": 1, "library_id": 1}]})", "movies[0].id: UNIQUE constraint failed"},
      {R"({"movies": [{"library_id": 1, "mapper_id": 50}, {"library_id": 1, "mapper_id": 50}]})",
       "movies[1].mapper_id: UNIQUE constraint failed"},
  };
  TempDb db;
  ASSERT_EQ(db.Import(kBase), "");
  const std::string before = db.Snapshot();
  // The document is read a record at a time: text that is not JSON fails
  // the import wherever it stands, after records that were fine.
  for (const char* broken : {R"({"movies": [{"library_id": 1}, {"library_id": 1})",
                             R"({"movies": [{"library_id": 1}] "videos": []})",
                             R"({"movies": [{"library_id": 1, "title": "a]}"}, {]})",
                             R"({"movies": [{"library_id": 1}]} [])", R"({"x": [[[}]]]})"}) {
    EXPECT_NE(db.Import(broken).find("not a JSON document"), std::string::npos) << broken;
    EXPECT_EQ(db.Snapshot(), before) << broken;
  }
  for (const Case& c : cases) {
    std::string error = db.Import(c.doc);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nfor: " << c.doc;
    EXPECT_EQ(db.Snapshot(), before) << c.doc;
  }
}

// A database of the first schema is brought up to date when a worker opens
// it; the import's "from_name" and "paths" members land in the new parts.
TEST(NameIdsTest, FindsEveryNameAcrossGrowthAndNoOther) {
  NameIds ids;
  // Names that share prefixes and lengths, the empty one, and enough of them
  // to grow the table several times.
  std::vector<std::string> names = {""};
  for (int i = 0; i < 5000; ++i) {
    names.push_back((i % 2 ? "Actor " : "A much longer name ") + std::to_string(i));
  }
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(ids.Find(names[i]), nullptr) << names[i];
    ids.Insert(names[i], static_cast<long long>(i) * 7);
  }
  EXPECT_EQ(ids.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const long long* id = ids.Find(names[i]);
    ASSERT_NE(id, nullptr) << names[i];
    EXPECT_EQ(*id, static_cast<long long>(i) * 7) << names[i];
  }
  for (const char* absent : {"Actor", "Actor 5001", "Actor 13 ", "actor 13", " ", "Actor 12",
                             "A much longer name 13", "A much longer name 1"}) {
    EXPECT_EQ(ids.Find(absent), nullptr) << absent;
  }
}

TEST(ImporterTest, AnOlderSchemaIsMigratedOnOpen) {
  TempDb db;
  std::string downgrade =
      "ALTER TABLE mapper DROP COLUMN from_name; DROP TABLE library_path; "
      "ALTER TABLE tvshow DROP COLUMN tmdb_id; ALTER TABLE tvshow DROP COLUMN imdb_id;";
  for (const char* column : {"width", "height", "video_codec", "audio_codec", "bit_rate", "mtime",
                             "sidecar_size", "sidecar_mtime"}) {
    downgrade += std::string("ALTER TABLE video_file DROP COLUMN ") + column + ";";
  }
  ASSERT_TRUE(Connection::Get()->Exec((downgrade + "PRAGMA user_version = 1;").c_str()));
  SetDatabasePath(db.db_path());
  ASSERT_EQ("", db.Import(R"({"libraries": [{"id": 1, "paths": ["/media/films"]}],
      "videos": [{"library_id": 1, "title": "t", "from_name": ["sort_title", "title"],
                  "files": [{"path": "/v/t.mkv"}]}]})"));
  Statement stmt = Connection::Get()->Prepare(
      "SELECT (SELECT user_version FROM pragma_user_version) || ' ' || from_name || ' ' || "
      "(SELECT path FROM library_path) || ' ' || (SELECT mtime FROM video_file) FROM mapper");
  EXPECT_EQ("5 sort_title,title /media/films 0", stmt.Step() ? stmt.ColumnText(0) : "");
}

// Ids and mapper ids are assigned when absent, around the explicit ones.
TEST(ImporterTest, IdsAreAssignedAroundExplicitOnes) {
  TempDb db;
  // Brackets, braces and escaped quotes inside strings, and members the
  // format does not know, are read past as text.
  ASSERT_EQ(db.Import(R"({
    "comment": {"a": [[1, {"b": "]}"}], "\"]"]},
    "libraries": [{"id": 1, "title": "x]},{\"y"}, {"title": "no id"}, {"title": "no id either"}],
    "movies": [{"id": 1, "library_id": 1}, {"id": 2, "library_id": 1, "mapper_id": 1},
               {"id": 3, "library_id": 1, "mapper_id": 7}]
  })"),
            "");
  EXPECT_EQ(std::string(R"(x]},{"y)"), [] {
    Statement stmt = Connection::Get()->Prepare("SELECT title FROM library WHERE id = 1");
    return stmt.Step() ? stmt.ColumnText(0) : std::string();
  }());
  Connection* conn = Connection::Get();
  ASSERT_NE(conn, nullptr);
  Statement stmt = conn->Prepare("SELECT id, mapper_id FROM movie ORDER BY id");
  std::vector<std::pair<int, int>> rows;
  while (stmt.Step()) rows.emplace_back(stmt.ColumnInt(0), stmt.ColumnInt(1));
  EXPECT_EQ(rows, (std::vector<std::pair<int, int>>{{1, 8}, {2, 1}, {3, 7}}));
  Statement fk = conn->Prepare("PRAGMA foreign_key_check");
  EXPECT_FALSE(fk.Step());
}

TEST(ImporterTest, ImagesResolveAgainstTheDocumentAndLargeOnesBecomeFiles) {
  TempDb db;
  mkdir((db.dir() + "/images-in").c_str(), 0755);
  const std::string small = videodb_test::FakeJpeg(kInlineImageMax, 1);  // the largest inline
  const std::string large = videodb_test::FakeJpeg(kInlineImageMax + 1, 2);
  db.WriteFile("images-in/small.jpg", small);
  db.WriteFile("images-in/large.jpg", large);
  ASSERT_EQ(db.Import(R"({"libraries": [{"id": 1}],
    "movies": [{"id": 1, "library_id": 1, "mapper_id": 5, "poster": "images-in/small.jpg",
                "backdrops": ["images-in/large.jpg", "images-in/small.jpg"]}]})"),
            "");
  Connection* conn = Connection::Get();
  Statement stmt = conn->Prepare(
      "SELECT image IS NOT NULL, file, size FROM backdrop WHERE mapper_id = 5 ORDER BY id");
  ASSERT_TRUE(stmt.Step());
  EXPECT_EQ(stmt.ColumnInt(0), 0);
  std::string file = stmt.ColumnText(1);
  EXPECT_EQ(stmt.ColumnInt64(2), static_cast<long long>(large.size()));
  ASSERT_TRUE(stmt.Step());
  EXPECT_EQ(stmt.ColumnInt(0), 1);
  std::string stored;
  ASSERT_TRUE(ReadWholeFile(db.dir() + "/images/" + file, large.size(), &stored));
  EXPECT_EQ(stored, large);
}

TEST(ImporterTest, FailedImportRemovesTheImageFilesItWrote) {
  TempDb db;
  db.WriteFile("large.jpg", videodb_test::FakeJpeg(kInlineImageMax * 2, 3));
  std::string error = db.Import(R"({"libraries": [{"id": 1}],
    "movies": [{"library_id": 1, "backdrops": ["large.jpg"]}, {"library_id": 1, "title": 1}]})");
  EXPECT_EQ(error, "movies[1].title: expected a string");
  EXPECT_EQ(videodb_test::CountFiles(db.dir() + "/images"), 0) << "an image file was left behind";
}

// Merge updates stored rows by id: members absent keep their values, lists
// given replace the stored lists, new ids are added, and a bad document
// changes nothing.
TEST(ImporterTest, MergeUpdatesStoredRowsById) {
  const char kStored[] = R"({
    "libraries": [{"id": 1, "title": "Films", "type": "movie", "users": [5],
                   "paths": ["/media/films"]},
                  {"id": 2, "title": "Shows", "type": "tvshow", "public": true}],
    "movies": [{"id": 1, "library_id": 1, "title": "Kept", "sort_title": "Kept, The",
                "summary": "Old", "tmdb_id": 11, "genres": ["Drama", "War"],
                "actors": ["Ann", "Bo"], "directors": ["Cy"], "backdrops": ["b.jpg"],
                "files": [{"id": 1, "path": "/v/a.mkv", "size": 10}, {"id": 2, "path": "/v/b.mkv"}]}],
    "tvshows": [{"id": 1, "library_id": 2, "title": "Show",
                 "episodes": [{"id": 1, "season": 1, "episode": 2, "title": "Pilot"}]}]
  })";
  // Title, sort title, summary, tmdb id, genres, people, files, backdrops.
  const char kMovie[] =
      "SELECT title || '|' || sort_title || '|' || summary || '|' || tmdb_id || '|' || "
      "(SELECT group_concat(name) FROM (SELECT name FROM video_genre JOIN genre ON genre.id = "
      "genre_id WHERE mapper_id = movie.mapper_id ORDER BY position)) || '|' || "
      "(SELECT group_concat(name) FROM (SELECT name FROM credit JOIN person ON person.id = "
      "person_id WHERE mapper_id = movie.mapper_id ORDER BY role, position)) || '|' || "
      "(SELECT group_concat(id || ':' || path || ':' || size) FROM video_file "
      "WHERE mapper_id = movie.mapper_id) || '|' || "
      "(SELECT COUNT(*) FROM backdrop WHERE mapper_id = movie.mapper_id) FROM movie WHERE id = 1";
  const char kUnchanged[] =
      "Kept|Kept, The|Old|11|Drama,War|Ann,Bo,Cy|1:/v/a.mkv:10,2:/v/b.mkv:0|1";
  const char kLibrary[] =
      "SELECT title || '|' || type || '|' || is_public || '|' || "
      "IFNULL((SELECT group_concat(uid) FROM library_user WHERE library_id = 1), '') || '|' || "
      "(SELECT group_concat(path) FROM library_path WHERE library_id = 1) FROM library WHERE id = "
      "1";
  const char kEpisode[] =
      "SELECT e.title || '|' || season || '|' || episode || '|' || e.library_id || '|' || "
      "m.library_id FROM tvshow_episode e JOIN mapper m ON m.id = e.mapper_id WHERE e.id = 1";
  struct Case {
    const char* doc;
    const char* error;  // a prefix of the error, or nullptr when it succeeds
    const char* query;
    const char* expected;
  } cases[] = {
      {R"({"movies": [{"id": 1}]})", nullptr, kMovie, kUnchanged},
      {R"({"movies": [{"id": 1, "summary": "New", "title": "Renamed"}]})", nullptr, kMovie,
       "Renamed|Kept, The|New|11|Drama,War|Ann,Bo,Cy|1:/v/a.mkv:10,2:/v/b.mkv:0|1"},
      // Lists given replace the stored ones, those absent stay; a file
      // named by its id is updated in place, one left out goes.
      {R"({"movies": [{"id": 1, "genres": ["Comedy"], "actors": ["Di"], "backdrops": [],
                       "files": [{"id": 2, "path": "/v/moved.mkv"}, {"path": "/v/c.mkv"}]}]})",
       nullptr, kMovie, "Kept|Kept, The|Old|11|Comedy|Di,Cy|2:/v/moved.mkv:0,3:/v/c.mkv:0|0"},
      {R"({"movies": [{"id": 7, "library_id": 1, "title": "New"}]})", nullptr,
       "SELECT group_concat(title) FROM (SELECT title FROM movie ORDER BY id)", "Kept,New"},
      {R"({"libraries": [{"id": 1, "title": "Films 2", "users": []}]})", nullptr, kLibrary,
       "Films 2|movie|0||/media/films"},
      {R"({"libraries": [{"id": 1, "public": true, "paths": ["/media/a", "/media/b"]}]})", nullptr,
       kLibrary, "Films|movie|1|5|/media/a,/media/b"},
      // An episode keeps its numbers, and follows its show to a library.
      {R"({"libraries": [{"id": 3, "type": "tvshow"}],
           "tvshows": [{"id": 1, "library_id": 3, "episodes": [{"id": 1, "title": "Pilot 2"}]}]})",
       nullptr, kEpisode, "Pilot 2|1|2|3|3"},
      // A bad record after a good one: the good one's change goes too.
      {R"({"movies": [{"id": 1, "title": "Changed"}, {"id": 1, "mapper_id": 99}]})",
       "movies[1].mapper_id: the stored video has mapper id", kMovie, kUnchanged},
      {R"({"movies": [{"id": 1, "genres": ["Comedy"], "files": [{"id": 1, "path": "x"}]}]})",
       "movies[0].files[0].path: expected an absolute path", kMovie, kUnchanged},
  };
  for (const Case& c : cases) {
    TempDb db;
    db.WriteFile("b.jpg", videodb_test::FakeJpeg(100, 1));
    ASSERT_EQ(db.Import(kStored), "");
    const std::string before = db.Snapshot();
    std::string error;
    const bool ok = ImportFile(Connection::Get(), db.WriteFile("merge.json", c.doc), false, nullptr,
                               &error, true);
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << error << "\nfor: " << c.doc;
    } else {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nfor: " << c.doc;
      EXPECT_EQ(db.Snapshot(), before) << c.doc;
    }
    Statement stmt = Connection::Get()->Prepare(c.query);
    EXPECT_EQ(stmt.Step() ? stmt.ColumnText(0) : "", c.expected) << c.doc;
    Statement fk = Connection::Get()->Prepare("PRAGMA foreign_key_check");
    EXPECT_FALSE(fk.Step()) << c.doc;
  }
}

TEST(ImporterTest, ToolExitCodes) {
  TempDb db;
  std::string good = db.WriteFile("good.json", kBase);
  std::string bad = db.WriteFile("bad.json", R"({"movies": [{"library_id": 1, "title": 2}]})");
  std::string broken = db.WriteFile("broken.json", "{\"movies\": [");
  EXPECT_EQ(kinoro_db::RunCommand("init", {}), 0);
  EXPECT_EQ(kinoro_db::RunCommand("import", {good}), 0);
  EXPECT_EQ(kinoro_db::RunCommand("import", {good}), 1);  // its ids exist now
  EXPECT_EQ(kinoro_db::RunCommand("import", {"--merge", good}), 0);
  EXPECT_EQ(kinoro_db::RunCommand("import", {"--merge", good, good}), 2);
  EXPECT_EQ(kinoro_db::RunCommand("import", {bad}), 1);
  EXPECT_EQ(kinoro_db::RunCommand("import", {broken}), 1);
  EXPECT_EQ(kinoro_db::RunCommand("import", {db.dir() + "/absent.json"}), 1);
  EXPECT_EQ(kinoro_db::RunCommand("import", {}), 2);
  EXPECT_EQ(kinoro_db::RunCommand("frobnicate", {}), 2);
  EXPECT_EQ(kinoro_db::RunCommand("generate", {"--movies", "5x"}), 2);
  EXPECT_EQ(kinoro_db::RunCommand("stats", {}), 0);
  // A pipe cannot be read twice; it is refused with a reason, not a blank.
  std::string error;
  EXPECT_FALSE(ImportFile(Connection::Get(), "/dev/null", false, nullptr, &error));
  EXPECT_EQ(error, "/dev/null: not a regular file (import reads it more than once)");
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
