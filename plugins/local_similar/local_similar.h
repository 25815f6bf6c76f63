// The offline plug-in: movies of the package's own database that share
// genres, tags, directors, actors or a collection with a given movie.
#ifndef KINORO_PLUGINS_LOCAL_SIMILAR_LOCAL_SIMILAR_H_
#define KINORO_PLUGINS_LOCAL_SIMILAR_LOCAL_SIMILAR_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/json.h>

#include "plugins/common/plugin_io.h"

namespace kinoro_local_similar {

// What one shared item adds to a movie's score. A shared collection (a
// sequel, a remake in a series) says most; a genre is broad and says least.
struct Weights {
  double genre = 1.0;
  double tag = 1.5;
  double actor = 1.0;
  double director = 2.0;
  double collection = 4.0;
};

// No answer needs more; it also bounds the work on a large library.
constexpr size_t kMaxAnswer = 1000;

// The movies with a TMDb id, other than those with `tmdb_id`, that share
// something with the movie(s) that have `tmdb_id`, best first (score, then
// rating, then movie id), one per TMDb id, at most `limit`. An id no movie
// has gives an empty array. false with `error` set when the database cannot
// be read.
bool FindSimilar(const std::string& db_path, int64_t tmdb_id, size_t limit, const Weights& weights,
                 Json::Value* answer, std::string* error);

// Answers one request of the engine (action "similar", type "movie",
// settings {"database": path}, default the root's database).
bool Answer(const kinoro_plugins::Request& request, Json::Value* answer, std::string* error);

}  // namespace kinoro_local_similar

#endif  // KINORO_PLUGINS_LOCAL_SIMILAR_LOCAL_SIMILAR_H_
