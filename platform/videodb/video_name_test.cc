#include "platform/videodb/video_name.h"

#include <gtest/gtest.h>

namespace LibKinoro {
namespace db {
namespace internal {
namespace {

constexpr int kMaxYear = 2030;

TEST(VideoNameTest, NamesAsPeopleWriteThem) {
  const LibraryKind kMovie = LibraryKind::kMovie, kTv = LibraryKind::kTvShow,
                    kVideo = LibraryKind::kVideo;
  struct Case {
    LibraryKind kind;
    const char* path;
    const char* title;
    int year;
    int part;
    const char* show;  // tvshow rows
    int season;
    int episode;
  } cases[] = {
      {kMovie, "Aliens (1986).mkv", "Aliens", 1986, 0, "", -1, -1},
      {kMovie, "Inception.2010.1080p.BluRay.x264-GRP.mkv", "Inception", 2010, 0, "", -1, -1},
      {kMovie, "[Group] Spirited Away (2001) [1080p].mp4", "Spirited Away", 2001, 0, "", -1, -1},
      {kMovie, "2001 A Space Odyssey (1968).mkv", "2001 A Space Odyssey", 1968, 0, "", -1, -1},
      {kMovie, "2001.A.Space.Odyssey.1968.mkv", "2001 A Space Odyssey", 1968, 0, "", -1, -1},
      {kMovie, "Blade Runner 2049 (2017).mkv", "Blade Runner 2049", 2017, 0, "", -1, -1},
      {kMovie, "Blade.Runner.2049.2017.2160p.mkv", "Blade Runner 2049", 2017, 0, "", -1, -1},
      {kMovie, "Blade Runner 2049.mkv", "Blade Runner 2049", 0, 0, "", -1, -1},  // past max_year
      {kMovie, "1917.mkv", "1917", 0, 0, "", -1, -1},
      {kMovie, "Mr. Nobody (2009).avi", "Mr. Nobody", 2009, 0, "", -1, -1},
      {kMovie, "S.W.A.T.2003.mkv", "S.W.A.T", 2003, 0, "", -1, -1},
      {kMovie, "Am\xc3\xa9lie.2001.mkv", "Am\xc3\xa9lie", 2001, 0, "", -1, -1},
      {kMovie, "\xe5\x8d\x83\xe3\x81\xa8\xe5\x8d\x83\xe5\xb0\x8b (2001).mkv",
       "\xe5\x8d\x83\xe3\x81\xa8\xe5\x8d\x83\xe5\xb0\x8b", 2001, 0, "", -1, -1},
      {kMovie, "No_Year_At_All.mkv", "No Year At All", 0, 0, "", -1, -1},
      {kMovie, "Up.720p.WEBRip.mkv", "Up", 0, 0, "", -1, -1},
      // The folder gives title and year when the file's name has no year.
      {kMovie, "Heat (1995)/heat-grp.mkv", "Heat", 1995, 0, "", -1, -1},
      {kMovie, "Films/Heat (1995).mkv", "Heat", 1995, 0, "", -1, -1},
      {kMovie, "Films/heat.mkv", "heat", 0, 0, "", -1, -1},
      // Parts after the year (or without one); before it, "Part 1" is title.
      {kMovie, "Heat (1995)/Heat (1995) cd2.mkv", "Heat", 1995, 2, "", -1, -1},
      {kMovie, "Heat (1995)/heat.part1.mkv", "Heat", 1995, 1, "", -1, -1},
      {kMovie, "Heat.1995.pt2.mkv", "Heat", 1995, 2, "", -1, -1},
      {kMovie, "Heat disc 1.mkv", "Heat", 0, 1, "", -1, -1},
      // A bare part's film is its folder, with or without a year there.
      {kMovie, "Heat (1995)/CD2.avi", "Heat", 1995, 2, "", -1, -1},
      {kMovie, "Heat/part 1.mkv", "Heat", 0, 1, "", -1, -1},
      {kMovie, "cd1.mkv", "cd1", 0, 1, "", -1, -1},
      {kMovie, "Deathly Hallows Part 1 (2010).mkv", "Deathly Hallows Part 1", 2010, 0, "", -1, -1},
      // Shows: the show's folder wins over the name, a season folder gives
      // the season when the name has none.
      {kTv, "Show/Season 01/Show - S01E02 - The Name.mkv", "The Name", 0, 0, "Show", 1, 2},
      {kTv, "Show.S01E02.mkv", "Show S01E02", 0, 0, "Show", 1, 2},
      {kTv, "Show.S02E03E04.720p.HDTV.x264.mkv", "Show S02E03E04", 0, 0, "Show", 2, 3},
      {kTv, "Show 1x02.mkv", "Show 1x02", 0, 0, "Show", 1, 2},
      {kTv, "The Office (2005)/Season 2/2x05 Halloween.mkv", "Halloween", 0, 0, "The Office", 2, 5},
      {kTv, "Doctor Who/Specials/Christmas.mkv", "Christmas", 0, 0, "Doctor Who", 0, -1},
      {kTv, "Season 1/Show s1 e3.mkv", "Show s1 e3", 0, 0, "Show", 1, 3},
      // Video libraries: the file's name is the title.
      {kVideo, "Holiday/Beach.Day 2019 (1080p).MP4", "Beach.Day 2019 (1080p)", 0, 0, "", -1, -1},
  };
  for (const Case& c : cases) {
    const VideoName name = ParseVideoName(c.kind, c.path, kMaxYear);
    EXPECT_EQ(name.title, c.title) << c.path;
    EXPECT_EQ(name.year, c.year) << c.path;
    EXPECT_EQ(name.part, c.part) << c.path;
    EXPECT_EQ(name.show, c.show) << c.path;
    EXPECT_EQ(name.season, c.season) << c.path;
    EXPECT_EQ(name.episode, c.episode) << c.path;
  }
}

TEST(VideoNameTest, OnlyVideoExtensionsAreVideos) {
  for (const char* name : {"a.mkv", "a.MP4", "a.m4v", "a.avi", "a.Mov", "a.wmv", "a.ts", "a.m2ts",
                           "a.mpg", "a.webm"}) {
    EXPECT_TRUE(IsVideoFileName(name)) << name;
  }
  for (const char* name :
       {"a.jpg", "a.srt", "a.nfo", "a.mkv.krmeta", "mkv", ".mkv", "a.mkv.part", "a.tsx", "a"}) {
    EXPECT_FALSE(IsVideoFileName(name)) << name;
  }
}

}  // namespace
}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
