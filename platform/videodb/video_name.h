// What a video file's name (and the folders around it) says about the
// video: title and year, show, season and episode, part of a film.
#ifndef KINORO_PLATFORM_VIDEODB_VIDEO_NAME_H_
#define KINORO_PLATFORM_VIDEODB_VIDEO_NAME_H_

#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

enum class LibraryKind { kMovie, kTvShow, kVideo };

struct VideoName {
  std::string title;  // the film, the episode's name, or the video
  int year = 0;       // 0 when the name gives none
  // Shows only: the show's title and year (from its folder when there is
  // one), season and episode (-1 when the name has no marker).
  std::string show;
  int show_year = 0;
  int season = -1;
  int episode = -1;
  int part = 0;  // cd1, part2, pt3, disc1: the part's number; 0 for a whole film
};

// True when the file name's extension is one of the video kinds the scanner
// lists (mkv, mp4, m4v, avi, mov, wmv, ts, m2ts, mpg, webm; any case).
bool IsVideoFileName(const std::string& name);

// Reads `relative_path` (the file's path below its library folder, "/"
// separated, with the extension). Years count from 1900 to `max_year`, so
// that "Blade Runner 2049" stays a title.
VideoName ParseVideoName(LibraryKind kind, const std::string& relative_path, int max_year);

// The year after the current one: the latest year a film's name can carry.
int LatestNameYear();

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_VIDEO_NAME_H_
