// A scripted stand-in for the video database library's access objects, for
// unit tests of the module: tests fill the world with answers, run a method,
// then read what the module asked. Every call can be made to fail.
#ifndef KINORO_TESTS_FAKES_FAKE_VIDEODB_H_
#define KINORO_TESTS_FAKES_FAKE_VIDEODB_H_

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "libkinoro/libkinoro.h"

namespace fake {

// The state of a video query object at the moment it ran a query.
struct VideoQuerySnapshot {
  std::string call;
  bool is_admin = false;
  unsigned int uid = 0;
  bool with_summary = false;
  bool with_poster_mtime = false;
  bool with_file = false;
  bool with_actor = false;
  std::string cover_rule;
};

struct VideodbWorld {
  // Counts every access-object query; when it reaches fail_at_call (1-based)
  // that call fails the way its contract says a failure looks.
  int calls = 0;
  int fail_at_call = 0;

  // LibraryAPI
  std::vector<LibKinoro::db::record::Library> libraries;
  std::vector<std::pair<unsigned int, bool>> as_user_calls;

  // MovieAPI
  std::vector<LibKinoro::db::record::Movie> top_rating;
  std::map<int, LibKinoro::db::record::Movie> movies_by_id;
  int num_movies_with_tmdb = 0;
  std::vector<LibKinoro::db::record::Movie> tmdb_movies;  // searched by ListInTMDb
  std::vector<std::vector<long long>> list_in_tmdb_calls;
  std::vector<int> top_rating_limits;
  std::vector<VideoQuerySnapshot> video_queries;

  // BackdropAPI
  std::map<std::pair<int, std::string>, int> mapper_ids;          // (id, type) -> mapper
  std::map<int, std::pair<int, std::string>> id_types;            // mapper -> (id, type)
  std::map<std::string, std::string> downloads;                   // url -> local path
  std::vector<std::tuple<int, std::string, bool>> add_calls;
  int add_result = 1;
  std::map<int, std::pair<std::string, std::string>> backdrops;  // mapper -> (bytes, digest)
  std::vector<int> delete_all_calls;
  int delete_all_result = 1;

  // OfflineConversionAPI
  std::vector<LibKinoro::db::record::OfflineConversionTask> tasks;
  std::vector<unsigned int> conversion_scopes;  // uid of every object made
  std::vector<std::string> conversion_calls;    // "List", "Delete", ...
  std::vector<std::vector<int>> conversion_ids;
  std::vector<LibKinoro::db::record::OfflineConversionSetting> created;
  int create_result = 1;
  bool conversion_result = true;
  int last_order = -1;
  bool list_with_poster_mtime = false, list_with_file = false, list_with_video = false,
       list_with_produced_file = false;
  std::string list_cover_rule = "<unset>";

  // GetSharePathByVolPath
  std::function<std::string(const std::string&)> share_path_by_vol;
  std::vector<std::string> share_path_calls;

  // Cover rule handed to BaseVideoAPI::WithCoverRule.
  std::vector<std::string> with_cover_rule_calls;
};

VideodbWorld& World();
void ResetWorld();

// Advances the call counter; true when this call is scripted to fail.
bool NextCallFails();

}  // namespace fake

#endif  // KINORO_TESTS_FAKES_FAKE_VIDEODB_H_
