// Matching scanned movies and TV shows with TMDb through the plug-in
// engine's tmdb plug-in: a title search, and for a confident match the details
// and artwork. Only members that still came from the file's name, or are
// empty, are filled, so what a sidecar or a person set stays.
#ifndef KINORO_PLATFORM_VIDEODB_TMDB_MATCH_H_
#define KINORO_PLATFORM_VIDEODB_TMDB_MATCH_H_

#include <functional>
#include <string>

#include <json/json.h>

#include "platform/videodb/config.h"

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

struct MatchStats {
  long long looked = 0;     // movies and shows searched for
  long long matched = 0;    // stored from TMDb
  long long unmatched = 0;  // no confident match: not searched again
  long long failed = 0;     // a failed request: searched again next time
  long long images = 0;     // posters and backdrops stored
  long long image_failures = 0;
  double seconds = 0;
};

struct MatchOptions {
  long long library_id = 0;  // 0: every library
  // Searches again for videos an earlier run found no confident match for.
  bool rematch = false;
  DownloadSettings download;
  // Called after each video.
  std::function<void(const MatchStats&)> progress;
};

enum class MatchResult { kDone, kNoKey, kFailed };

// Matches the movies and TV shows without a TMDb id. kNoKey when
// plugins.conf gives the tmdb plug-in no api_key (nothing is asked); kFailed
// with `error` set when the plug-in is not installed or the database fails.
// Each match is written in a transaction of its own.
MatchResult MatchVideos(Connection* conn, const MatchOptions& options, MatchStats* stats,
                        std::string* error);

// Titles as matching compares them: lower case, Latin accents dropped, and
// every character that is not a letter or digit left out.
std::string NormaliseTitle(const std::string& title);

// The search result that confidently is the movie `title` of `year` (0:
// unknown): equal normalised titles and years at most one apart, the
// closest year first; without a year, only a title that one result alone
// has. Null when there is none.
const Json::Value* ConfidentMatch(const Json::Value& results, const std::string& title, int year);

// kinoro-db's "match" and "scan --match": progress and summary lines; the
// command's exit status.
int RunMatchCommand(long long library_id, bool rematch);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_TMDB_MATCH_H_
