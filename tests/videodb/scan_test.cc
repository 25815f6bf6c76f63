// The scanner and the library commands of kinoro-db on a temporary share
// with tiny real videos.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "libkinoro/api.h"
#include "platform/services/share_config.h"
#include "platform/videodb/media_probe.h"
#include "platform/videodb/scanner.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/tool_commands.h"
#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/temp_db.h"

namespace {

using kinoro_testing::MakeDirs;
using kinoro_testing::ReadFile;
using kinoro_testing::WriteFile;
using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::ScanLibraries;
using LibKinoro::db::internal::ScanOptions;
using LibKinoro::db::internal::ScanResult;
using LibKinoro::db::internal::ScanStats;
using LibKinoro::db::internal::Statement;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A one-second 64x48 video with sound, made with ffmpeg once for all the
// test processes of a build (they share the build tree); "" without ffmpeg.
std::string TestVideo(const std::string& ext, const std::string& codecs) {
  const std::string dir = std::string(KINORO_BINARY_DIR) + "/test-videos";
  const std::string path = dir + "/tiny." + ext;
  if (access(path.c_str(), R_OK) == 0) return path;
  if (system("command -v ffmpeg >/dev/null 2>&1") != 0) return "";
  MakeDirs(dir);
  // Made under a name of its own and renamed, so that a test process never
  // reads a half-written one.
  const std::string tmp = dir + "/tiny." + std::to_string(getpid()) + "." + ext;
  const std::string cmd =
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=duration=1:size=64x48:rate=5 "
      "-f lavfi -i sine=duration=1 -shortest " +
      codecs + " '" + tmp + "'";
  if (system(cmd.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) return "";
  return path;
}
std::string Mkv() { return TestVideo("mkv", "-c:v mpeg4 -c:a mp2"); }
std::string Mp4() { return TestVideo("mp4", "-c:v mpeg4 -c:a aac"); }

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vol_ = db_.dir() + "/vol";
    MakeDirs(vol_);
    VELMShareSetConfigPath(db_.WriteFile(
        "shares.conf", R"({"shares": [{"name": "media", "path": ")" + vol_ + R"("}]})"));
  }
  void TearDown() override { VELMShareSetConfigPath(""); }

  // A file below the share; `bytes` of "" makes an empty one.
  std::string Put(const std::string& rel, const std::string& bytes = "") {
    const std::string path = vol_ + "/" + rel;
    MakeDirs(path.substr(0, path.rfind('/')));
    EXPECT_TRUE(WriteFile(path, bytes)) << path;
    return path;
  }
  void PutVideo(const std::string& rel, const std::string& source) { Put(rel, ReadFile(source)); }

  ScanStats Scan() {
    ScanStats stats;
    std::string error;
    EXPECT_EQ(ScanLibraries(Connection::Get(), ScanOptions(), &stats, &error), ScanResult::kDone)
        << error;
    return stats;
  }

  // One text per row of `sql`, its columns joined by "|".
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    Statement stmt = Connection::Get()->Prepare(sql.c_str());
    while (stmt.Step()) {
      std::string row;
      for (int i = 0; i < stmt.ColumnCount(); ++i) row += (i ? "|" : "") + stmt.ColumnText(i);
      rows.push_back(row);
    }
    EXPECT_FALSE(stmt.failed()) << sql;
    return rows;
  }
  std::string One(const std::string& sql) {
    std::vector<std::string> rows = Rows(sql);
    return rows.size() == 1 ? rows[0] : "(" + std::to_string(rows.size()) + " rows)";
  }

  videodb_test::TempDb db_;
  std::string vol_;
};

TEST_F(ScanTest, FirstScanListsVideosWithTheirFacts) {
  const std::string mkv = Mkv(), mp4 = Mp4();
  if (mkv.empty() || mp4.empty()) GTEST_SKIP() << "ffmpeg is not installed";
  ASSERT_EQ(db_.Import(R"({"libraries": [
      {"id": 1, "type": "movie", "paths": ["/media/films"]},
      {"id": 2, "type": "tvshow", "paths": ["/media/tv"]},
      {"id": 3, "type": "home_video", "paths": ["/media/home"]}]})"),
            "");
  PutVideo("films/Heat (1995)/heat.cd1.mkv", mkv);
  PutVideo("films/Heat (1995)/heat.cd2.mp4", mp4);
  Put("films/Empty Film (2001).mkv");
  Put("films/Broken (2000).mkv", ReadFile(mkv).substr(0, 100));
  for (const char* other :
       {"films/poster.jpg", "films/Heat (1995)/heat.srt", "films/x.nfo", "films/.hidden.mkv"}) {
    Put(other, "not a video");
  }
  Put("films/Heat (1995)/heat.cd1.mkv.krmeta", R"({"format": "kinoro-sidecar", "version": 1})");
  // Links lead nowhere the scan goes, inside the share or out of it.
  ASSERT_EQ(symlink(mkv.c_str(), (vol_ + "/films/Link (1999).mkv").c_str()), 0);
  ASSERT_EQ(symlink(db_.dir().c_str(), (vol_ + "/films/outside").c_str()), 0);
  Put("tv/The Show/Season 01/The Show - S01E01 - Pilot.mkv");
  Put("tv/The Show/Season 01/The.Show.S01E02.mkv");
  Put("tv/Other/Other 1x01.mkv");
  Put("home/Beach Day.MP4");

  kinoro_testing::ClearSyslog();
  const ScanStats stats = Scan();
  EXPECT_EQ(stats.files_seen, 8);
  EXPECT_EQ(stats.added, 8);
  EXPECT_EQ(stats.probed, 3) << "empty files are not opened";
  EXPECT_EQ(stats.unreadable, 1);
  // One line for the file that could not be read; none for the empty one.
  const auto lines = kinoro_testing::SyslogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0].text, HasSubstr("Broken (2000).mkv"));

  // One film of two parts; titles and years from the names, marked so.
  EXPECT_THAT(Rows("SELECT m.title, m.original_available, p.from_name, COUNT(f.id) FROM movie m "
                   "JOIN mapper p ON p.id = m.mapper_id JOIN video_file f "
                   "ON f.mapper_id = m.mapper_id GROUP BY m.id ORDER BY m.title"),
              ElementsAre("Broken|2000|title,sort_title,original_available|1",
                          "Empty Film|2001|title,sort_title,original_available|1",
                          "Heat|1995|title,sort_title,original_available|2"));
  const std::string facts =
      "SELECT round(duration), width, height, video_codec, audio_codec, bit_rate > 0, size "
      "FROM video_file WHERE path = '";
  EXPECT_EQ(One(facts + vol_ + "/films/Heat (1995)/heat.cd1.mkv'"),
            "1.0|64|48|mpeg4|mp2|1|" + std::to_string(ReadFile(mkv).size()));
  EXPECT_EQ(One(facts + vol_ + "/films/Heat (1995)/heat.cd2.mp4'"),
            "1.0|64|48|mpeg4|aac|1|" + std::to_string(ReadFile(mp4).size()));
  EXPECT_EQ(One(facts + vol_ + "/films/Broken (2000).mkv'"), "0.0|0|0|||0|100");
  EXPECT_EQ(One(facts + vol_ + "/films/Empty Film (2001).mkv'"), "0.0|0|0|||0|0");

  // Episodes under one show row per show.
  EXPECT_THAT(
      Rows("SELECT s.title, e.season, e.episode, e.title FROM tvshow_episode e "
           "JOIN tvshow s ON s.id = e.tvshow_id ORDER BY s.title, e.episode"),
      ElementsAre("Other|1|1|Other 1x01", "The Show|1|1|Pilot", "The Show|1|2|The Show S01E02"));
  EXPECT_EQ(One("SELECT COUNT(*) FROM tvshow"), "2");
  EXPECT_EQ(One("SELECT title, library_id FROM home_video"), "Beach Day|3");
}

// Each step changes the folders and scans again; the counts say what the
// scan did, the checks after the table what stayed.
// A file that crashes or hangs the demuxers costs its own facts, not the
// scan: the probe runs in a child of its own.
TEST(MediaProbeTest, ProbesApartSurviveCrashesAndHangs) {
  using LibKinoro::db::internal::MediaFacts;
  const struct {
    LibKinoro::db::internal::ProbeFunction probe;
    bool ok;
    const char* error;
  } cases[] = {
      {[](int, MediaFacts* facts, std::string*) {
         facts->width = 64;
         facts->video_codec = "mpeg4";
         return true;
       },
       true, ""},
      {[](int, MediaFacts*, std::string* error) {
         *error = "Invalid data found when processing input";
         return false;
       },
       false, "Invalid data found when processing input"},
      {[](int, MediaFacts*, std::string*) -> bool { abort(); }, false,
       "reading it crashed the probe (Aborted)"},
      {[](int, MediaFacts*, std::string*) -> bool { _exit(0); }, false,
       "the probe ended without an answer"},
      {[](int, MediaFacts*, std::string*) -> bool {
         for (;;) pause();
       },
       false, "reading it took over 300 ms"},
  };
  for (const auto& c : cases) {
    MediaFacts facts;
    facts.height = 7;  // stale: every answer starts from nothing
    std::string error;
    EXPECT_EQ(LibKinoro::db::internal::ProbeMediaApart(0, &facts, &error, 300, c.probe), c.ok);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(facts.width, c.ok ? 64 : 0);
    EXPECT_EQ(facts.video_codec, c.ok ? "mpeg4" : "");
    EXPECT_EQ(facts.height, 0);
  }
}

TEST_F(ScanTest, RescansFollowTheFolders) {
  const std::string mkv = Mkv();
  if (mkv.empty()) GTEST_SKIP() << "ffmpeg is not installed";
  ASSERT_EQ(db_.Import(R"({"libraries": [
      {"id": 1, "type": "movie", "paths": ["/media/films", "/media/disk2"]}]})"),
            "");
  PutVideo("films/A (2001).mkv", mkv);
  Put("films/B (2002).mkv");
  Put("films/D (2004).mkv");
  Put("films/Old Name/E (2005).mkv");
  Put("disk2/G (2007).mkv");
  ASSERT_EQ(Scan().added, 5);
  // What a person added to A and E: a backdrop, a playback position.
  const std::string a_mapper = One("SELECT mapper_id FROM movie WHERE title = 'A'");
  const std::string e_mapper = One("SELECT mapper_id FROM movie WHERE title = 'E'");
  ASSERT_TRUE(Connection::Get()->Exec(
      ("INSERT INTO backdrop (mapper_id, image, md5, size, mtime) VALUES (" + a_mapper +
       ", x'ff', x'00', 1, 0); INSERT INTO watch_status (uid, mapper_id, position) VALUES (7, " +
       a_mapper + ", 42); INSERT INTO watch_status (uid, mapper_id, position) VALUES (7, " +
       e_mapper + ", 5);")
          .c_str()));

  auto move = [this](const std::string& from, const std::string& to) {
    MakeDirs((vol_ + "/" + to).substr(0, (vol_ + "/" + to).rfind('/')));
    ASSERT_EQ(rename((vol_ + "/" + from).c_str(), (vol_ + "/" + to).c_str()), 0) << from;
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    long long added, changed, moved, removed, probed;
    size_t unavailable;
  } steps[] = {
      {"unchanged", [] {}, 0, 0, 0, 0, 0, 0},
      {"add", [&] { Put("films/F (2006).mkv"); }, 1, 0, 0, 0, 0, 0},
      {"change", [&] { Put("films/B (2002).mkv", "ten bytes!"); }, 0, 1, 0, 0, 1, 0},
      {"remove", [&] { unlink((vol_ + "/films/D (2004).mkv").c_str()); }, 0, 0, 0, 1, 0, 0},
      {"move", [&] { move("films/A (2001).mkv", "films/Sub/A (2001).mkv"); }, 0, 0, 1, 0, 0, 0},
      {"rename a folder", [&] { move("films/Old Name", "films/New Name"); }, 0, 0, 1, 0, 0, 0},
      {"unmounted", [&] { move("disk2", "disk2-away"); }, 0, 0, 0, 0, 0, 1},
      {"empty mount point", [&] { MakeDirs(vol_ + "/disk2"); }, 0, 0, 0, 0, 0, 1},
      {"mounted again",
       [&] {
         rmdir((vol_ + "/disk2").c_str());
         move("disk2-away", "disk2");
       },
       0, 0, 0, 0, 0, 0},
  };
  for (const Step& step : steps) {
    step.change();
    const ScanStats stats = Scan();
    EXPECT_EQ(stats.added, step.added) << step.what;
    EXPECT_EQ(stats.changed, step.changed) << step.what;
    EXPECT_EQ(stats.moved, step.moved) << step.what;
    EXPECT_EQ(stats.removed, step.removed) << step.what;
    EXPECT_EQ(stats.probed, step.probed) << step.what;
    EXPECT_EQ(stats.unavailable.size(), step.unavailable) << step.what;
  }
  EXPECT_THAT(Rows("SELECT title FROM movie ORDER BY title"), ElementsAre("A", "B", "E", "F", "G"));
  // Moved files kept their videos and what was attached to them.
  EXPECT_EQ(One("SELECT mapper_id || '|' || path FROM video_file WHERE path LIKE '%/A (2001).mkv'"),
            a_mapper + "|" + vol_ + "/films/Sub/A (2001).mkv");
  EXPECT_EQ(One("SELECT mapper_id FROM movie WHERE title = 'E'"), e_mapper);
  EXPECT_EQ(One("SELECT COUNT(*) FROM backdrop WHERE mapper_id = " + a_mapper), "1");
  EXPECT_EQ(One("SELECT COUNT(*) FROM watch_status"), "2");
  EXPECT_EQ(One("SELECT size FROM video_file WHERE path LIKE '%/B (2002).mkv'"), "10");
}

TEST_F(ScanTest, ASecondScanAtTheSameTimeIsRefused) {
  ASSERT_EQ(db_.Import(R"({"libraries": [{"id": 1, "paths": ["/media/films"]}]})"), "");
  Put("films/A (2001).mkv");
  // Another scan holds the lock (flock locks belong to the open file, so
  // this one conflicts with the scanner's own open).
  const int fd = open(LibKinoro::db::internal::ScanLockPath(db_.db_path()).c_str(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ScanStats stats;
  std::string error;
  EXPECT_EQ(ScanLibraries(Connection::Get(), ScanOptions(), &stats, &error), ScanResult::kBusy);
  EXPECT_THAT(error, HasSubstr("another scan"));
  EXPECT_EQ(One("SELECT COUNT(*) FROM movie"), "0");
  close(fd);
  EXPECT_EQ(Scan().added, 1);
}

TEST_F(ScanTest, LibraryCommandsAddListAndDeleteWithoutTouchingFiles) {
  using kinoro_db::RunCommand;
  const std::vector<std::vector<std::string>> usage_errors = {
      {"add", "--title", "T", "--type", "movie", "--path", "/media/a"},  // nobody sees it
      {"add", "--title", "T", "--type", "movie", "--path", "/media/a", "--public", "--user", "1"},
      {"add", "--title", "T", "--type", "music", "--path", "/media/a", "--public"},
      {"add", "--title", "T", "--type", "movie", "--public"},  // no folder
      {"del", "x"},
  };
  for (const auto& args : usage_errors) EXPECT_EQ(RunCommand("library", args), 2) << args[0];
  EXPECT_EQ(RunCommand("library", {"add", "--title", "T", "--type", "movie", "--path",
                                   "/media/../etc", "--public"}),
            1);

  testing::internal::CaptureStdout();
  EXPECT_EQ(RunCommand("library",
                       {"add", "--title", "Home films", "--type", "video", "--path", "/media/home",
                        "--path", "/media/more", "--user", "1001", "--user", "1002"}),
            0);
  EXPECT_EQ(RunCommand("library", {"add", "--title", "Films", "--type", "movie", "--path",
                                   "/media/films", "--public"}),
            0);
  EXPECT_EQ(RunCommand("library", {"list"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "1\n2\n"
            "1\tvideo\tHome films\tusers 1001,1002\t/media/home\t/media/more\n"
            "2\tmovie\tFilms\tpublic\t/media/films\n");

  const std::string kept = Put("home/Beach.mkv", "x");
  Put("films/Heat (1995).mkv", "y");
  Scan();
  const std::string mapper = One("SELECT mapper_id FROM home_video");
  ASSERT_TRUE(Connection::Get()->Exec(
      ("INSERT INTO backdrop (mapper_id, image, md5, size, mtime) VALUES (" + mapper +
       ", x'ff', x'00', 1, 0); INSERT INTO watch_status VALUES (7, " + mapper + ", 1);")
          .c_str()));
  EXPECT_EQ(RunCommand("library", {"del", "1"}), 0);
  EXPECT_EQ(RunCommand("library", {"del", "1"}), 1) << "already gone";
  EXPECT_THAT(Rows("SELECT id FROM library"), ElementsAre("2"));
  EXPECT_EQ(One("SELECT COUNT(*) FROM mapper WHERE library_id = 1"), "0");
  EXPECT_EQ(One("SELECT COUNT(*) FROM home_video") + One("SELECT COUNT(*) FROM backdrop") +
                One("SELECT COUNT(*) FROM watch_status") + One("SELECT COUNT(*) FROM video_file"),
            "0001");
  EXPECT_EQ(ReadFile(kept), "x") << "the files stay";
  Statement fk = Connection::Get()->Prepare("PRAGMA foreign_key_check");
  EXPECT_FALSE(fk.Step());
}

// A sidecar beside a film, as the metadata daemon writes it: each member it
// has wins over the name, one that is absent keeps the name's, and one that
// cannot be used leaves the name's facts with one log line. A sidecar is
// read again when it changes, and only then.
TEST_F(ScanTest, SidecarMembersWinOverTheName) {
  ASSERT_EQ(db_.Import(R"({"libraries": [{"id": 1, "type": "movie", "paths": ["/media/films"]}]})"),
            "");
  auto doc = [](const std::string& members) {
    return R"({"format": "kinoro-sidecar", "version": 1, "type": "movie")" +
           (members.empty() ? "" : ", " + members) + "}";
  };
  const std::string jpeg = videodb_test::FakeJpeg(100, 1);
  const std::string outside = db_.WriteFile("outside.jpg", jpeg);
  // Columns: title, sort title, date, summary, rating, tmdb, imdb,
  // from_name, genres, actors, backdrops.
  const std::string by_name = "Heat|Heat|1995||-1.0|-1||title,sort_title,original_available|||0";
  struct Case {
    const char* what;
    std::string sidecar;
    std::function<void(const std::string& dir)> extra;
    std::string want;
    bool logged;
  } cases[] = {
      {"title", doc(R"("title": "Heat - Director's Cut")"), nullptr,
       "Heat - Director's Cut|Heat - Director's Cut|1995||-1.0|-1||"
       "sort_title,original_available|||0",
       false},
      {"date", doc(R"("original_available": "1995-12-15")"), nullptr,
       "Heat|Heat|1995-12-15||-1.0|-1||title,sort_title|||0", false},
      {"facts",
       doc(R"("summary": "A heist.", "rating": 8.3, "tmdb_id": 949, "imdb_id": "tt0113277")"),
       nullptr, "Heat|Heat|1995|A heist.|8.3|949|tt0113277|title,sort_title,original_available|||0",
       false},
      {"people", doc(R"("genres": ["Crime", "Drama"], "actors": ["Al Pacino", "Robert De Niro"])"),
       nullptr,
       "Heat|Heat|1995||-1.0|-1||title,sort_title,original_available|Crime,Drama|"
       "Al Pacino,Robert De Niro|0",
       false},
      {"backdrop", doc(R"("backdrops": ["Heat (1995).mkv.backdrop-1.jpg"])"),
       [&](const std::string& dir) { Put(dir + "/Heat (1995).mkv.backdrop-1.jpg", jpeg); },
       "Heat|Heat|1995||-1.0|-1||title,sort_title,original_available|||1", false},
      {"backdrop through a link", doc(R"("backdrops": ["b.jpg"], "title": "Heat")"),
       [&](const std::string& dir) {
         ASSERT_EQ(symlink(outside.c_str(), (vol_ + "/" + dir + "/b.jpg").c_str()), 0);
       },
       "Heat|Heat|1995||-1.0|-1||sort_title,original_available|||0", true},
      {"not JSON", "{\"format\": \"kinoro-sidecar\", ", nullptr, by_name, true},
      {"unknown version", R"({"format": "kinoro-sidecar", "version": 2, "title": "X"})", nullptr,
       by_name, true},
      {"wrong kind", doc(R"("title": 5)"), nullptr, by_name, true},
      {"oversize", doc(R"("title": "X")") + std::string(1024 * 1024, ' '), nullptr, by_name, true},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const std::string dir = "films/" + std::to_string(i);
    Put(dir + "/Heat (1995).mkv");
    Put(dir + "/Heat (1995).mkv.krmeta", cases[i].sidecar);
    if (cases[i].extra) cases[i].extra(dir);
  }
  const std::string row =
      "SELECT m.title, m.sort_title, m.original_available, m.summary, printf('%.1f', m.rating), "
      "m.tmdb_id, m.imdb_id, p.from_name, "
      "(SELECT IFNULL(group_concat(name), '') FROM (SELECT g.name FROM video_genre v "
      "JOIN genre g ON g.id = v.genre_id WHERE v.mapper_id = m.mapper_id ORDER BY position)), "
      "(SELECT IFNULL(group_concat(name), '') FROM (SELECT n.name FROM credit c "
      "JOIN person n ON n.id = c.person_id WHERE c.mapper_id = m.mapper_id AND role = 1 "
      "ORDER BY position)), "
      "(SELECT COUNT(*) FROM backdrop b WHERE b.mapper_id = m.mapper_id) "
      "FROM movie m JOIN mapper p ON p.id = m.mapper_id "
      "JOIN video_file f ON f.mapper_id = m.mapper_id WHERE f.path = '" +
      vol_ + "/films/";

  kinoro_testing::ClearSyslog();
  Scan();
  const auto lines = kinoro_testing::SyslogLines();
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(One(row + std::to_string(i) + "/Heat (1995).mkv'"), cases[i].want) << cases[i].what;
    int logged = 0;
    for (const auto& line : lines) {
      logged += line.text.find("/films/" + std::to_string(i) + "/") != std::string::npos;
    }
    EXPECT_EQ(logged, cases[i].logged ? 1 : 0) << cases[i].what;
  }

  // Unchanged: nothing read again, nothing logged again.
  kinoro_testing::ClearSyslog();
  EXPECT_EQ(Scan().sidecars, 0);
  EXPECT_TRUE(kinoro_testing::SyslogLines().empty());
  // Changed beside an unchanged film, and one that became usable: both win.
  Put("films/0/Heat (1995).mkv.krmeta", doc(R"("title": "Heat 2", "sort_title": "Heat two")"));
  Put("films/6/Heat (1995).mkv.krmeta", doc(R"("summary": "Fixed.")"));
  EXPECT_EQ(Scan().sidecars, 2);
  EXPECT_EQ(One(row + "0/Heat (1995).mkv'"),
            "Heat 2|Heat two|1995||-1.0|-1||original_available|||0");
  EXPECT_EQ(One(row + "6/Heat (1995).mkv'"),
            "Heat|Heat|1995|Fixed.|-1.0|-1||title,sort_title,original_available|||0");
}

// A scan killed with SIGKILL between or inside its batches leaves a database
// that passes check, and the next scan ends where a scan of the same tree
// into a fresh database ends: films whose parts fell into different
// batches included.
TEST_F(ScanTest, KilledScanLeavesASoundDatabaseThatTheNextScanCompletes) {
  const char kLibrary[] =
      R"({"libraries": [{"id": 1, "type": "movie", "paths": ["/media/films"]}]})";
  ASSERT_EQ(db_.Import(kLibrary), "");
  constexpr int kFilms = 4000;
  for (int i = 0; i < kFilms; ++i) {
    const std::string name = "films/d" + std::to_string(i / 100) + "/Film " + std::to_string(i) +
                             " (" + std::to_string(1950 + i % 70) + ")";
    if (i % 40 == 0) {
      Put(name + "/" + name.substr(name.rfind('/') + 1) + " cd1.mkv");
      Put(name + "/" + name.substr(name.rfind('/') + 1) + " cd2.mkv");
    } else {
      Put(name + ".mkv");
    }
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ScanOptions options;
    options.batch = 50;
    ScanStats stats;
    std::string error;
    _exit(ScanLibraries(Connection::Get(), options, &stats, &error) == ScanResult::kDone ? 0 : 1);
  }
  // Killed once a few batches are in, while it still writes.
  auto watcher = Connection::Open(db_.db_path());
  ASSERT_NE(watcher, nullptr);
  long long rows = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (rows < 300 && std::chrono::steady_clock::now() < deadline) {
    Statement count = watcher->Prepare("SELECT COUNT(*) FROM video_file");
    if (count.Step()) rows = count.ColumnInt64(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the scan ended before it was killed";
  watcher.reset();

  const std::string films =
      "SELECT m.title, m.original_available, p.from_name, "
      "(SELECT group_concat(substr(path, length(path) - 7)) FROM video_file f "
      "WHERE f.mapper_id = m.mapper_id) FROM movie m JOIN mapper p ON p.id = m.mapper_id "
      "ORDER BY m.title";
  EXPECT_LT(Rows(films).size(), static_cast<size_t>(kFilms)) << "killed part-way";
  testing::internal::CaptureStdout();
  EXPECT_EQ(kinoro_db::RunCommand("check", {}), 0);
  EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("database ok"));
  EXPECT_EQ(Scan().removed, 0);
  const std::vector<std::string> resumed = Rows(films);
  EXPECT_EQ(resumed.size(), static_cast<size_t>(kFilms));

  LibKinoro::db::SetDatabasePath(db_.dir() + "/fresh.db");
  ASSERT_NE(Connection::Get(LibKinoro::db::internal::OpenMode::kCreate), nullptr);
  ASSERT_EQ(db_.Import(kLibrary), "");
  Scan();
  EXPECT_EQ(Rows(films), resumed);
  struct stat wal;
  ASSERT_EQ(stat((db_.dir() + "/fresh.db-wal").c_str(), &wal), 0);
  EXPECT_EQ(wal.st_size, 0) << "the log is truncated after a scan";
}

}  // namespace
