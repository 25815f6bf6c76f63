// Movies of the database that the metadata plug-ins call similar to a given
// movie, matched through TheMovieDb (TMDb) ids, and the thin layer over the
// plug-in engine that asks the plug-ins. Used by "list_movie" under the
// policy "tmdb_similar"; nothing here is exported from the module.
#ifndef KINORO_WEBAPI_PLUGIN_SIMILAR_H_
#define KINORO_WEBAPI_PLUGIN_SIMILAR_H_

#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "libkinoro/libkinoro.h"
#include "velm/webapi.h"

namespace velmkr {
namespace webapi {

// One selection per request: construct, call GetSimilarMovies once, destroy.
class SimilarAPI {
 public:
  // The request's "id", "offset" and "limit" parameters, in this order. An
  // unset "offset" counts as 0; "limit" is read without a presence test.
  SimilarAPI(const VELM::APIParameter<int>& id, const VELM::APIParameter<int>& offset,
             const VELM::APIParameter<int>& limit);
  virtual ~SimilarAPI();

  // Appends the page [offset, offset + limit) of the similar movies to
  // `movies` (which the caller passes empty) and returns 0; or returns a
  // host error code (120 no "id", 101 no such movie or no TMDb id) and
  // leaves `movies` untouched. Every database query goes through
  // `movie_api`, whose scope and part switches the caller has set. Failing
  // plug-ins and ids that match nothing give a short or empty page, not an
  // error.
  int GetSimilarMovies(LibKinoro::db::api::MovieAPI& movie_api,
                       std::vector<LibKinoro::db::record::Movie>& movies);

  // Loads the given movie and keeps its TMDb id; 0 or an error code as above.
  int ProcessInput(LibKinoro::db::api::MovieAPI& movie_api);

  long long tmdb_id() const { return tmdb_id_; }

 private:
  VELM::APIParameter<int> id_;
  long long tmdb_id_;
  unsigned int offset_;
  unsigned int limit_;
};

// The TMDb id of one plug-in title ("extra" → "com.velmora.TheMovieDb" →
// "reference" → "themoviedb"); -1 when a step is missing, the value is
// empty, or it is not a number that fits a signed 64-bit integer (reals are
// truncated, booleans count as 0 and 1).
long long GetTMDbID(const Json::Value& title);

// The positive TMDb ids of `titles` not yet in `seen`, in title order, each
// once; they are added to `seen`.
std::vector<long long> GetTMDbIDs(const Json::Value& titles, std::set<long long>& seen);

// Appends the part of `batch` that falls into the page to `out` and returns
// the new position. `position` counts the matched movies before the batch;
// the page starts at `offset` and ends when `out` holds `target` movies.
unsigned int ClipMovies(unsigned int position, unsigned int offset, unsigned int target,
                        const std::vector<LibKinoro::db::record::Movie>& batch,
                        std::vector<LibKinoro::db::record::Movie>& out);

// Fills `plugins` with the ids of the plug-ins that serve `type` and
// `action`, highest priority first. Engine failures are not detected; they
// leave the list short or empty.
void SetupPlugins(LibKinoro::_VIDEO_TYPE_ type, const std::string& action,
                  std::vector<std::string>& plugins);

// Replaces `output` with an array of the usable answers of the listed
// plug-ins, asked in list order with `request`; each is asked for `limit`
// less what earlier ones gave. Unknown ids, failed lookups and empty
// answers are skipped silently; an unusable answer is logged and skipped.
void QueryPlugins(const std::vector<std::string>& plugins, const Json::Value& request,
                  LibKinoro::_VIDEO_TYPE_ type, const std::string& lang, int limit,
                  Json::Value& output);

// Similar titles of the movie described by `movie` (its "title",
// "original_available" and "tmdb_id", each sent when present). The plug-ins
// are asked for `limit` titles in all, but a plug-in that answers with more
// keeps them all. Always an array, empty when no plug-in answered usably.
Json::Value GetSimilarMoviesFromPlugin(const Json::Value& movie, int limit);

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_PLUGIN_SIMILAR_H_
