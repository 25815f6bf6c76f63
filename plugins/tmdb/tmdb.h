// The TheMovieDb plug-in: similar titles and title search over TMDb's
// web API (version 3).
#ifndef KINORO_PLUGINS_TMDB_TMDB_H_
#define KINORO_PLUGINS_TMDB_TMDB_H_

#include <cstddef>
#include <string>

#include <json/json.h>

#include "plugins/common/plugin_io.h"

namespace kinoro_tmdb {

constexpr char kDefaultBaseUrl[] = "https://api.themoviedb.org/3";
constexpr char kDefaultLanguage[] = "en-US";
constexpr char kDefaultImageBaseUrl[] = "https://image.tmdb.org/t/p/original";
// TMDb pages hold 20 titles; the module never asks for more than 100.
constexpr int kMaxPages = 10;
constexpr size_t kMaxResponseBytes = 2 << 20;
constexpr long kRequestTimeoutMs = 10000;
// All requests of one answer together; below the engine's limit in INFO, so
// that a slow TMDb gives a message rather than a killed plug-in.
constexpr long kAnswerTimeoutMs = 25000;

struct Settings {
  std::string api_key;
  std::string base_url = kDefaultBaseUrl;  // without a trailing '/'
  std::string language = kDefaultLanguage;
  std::string image_base_url = kDefaultImageBaseUrl;
};

// false with `error` set when the settings cannot be used (no api_key, a
// base_url that is not http or https).
bool ReadSettings(const Json::Value& settings, Settings* out, std::string* error);

// One entry of a TMDb movie list, or a movie's details, in the title form.
// Returns false when the entry has no usable id.
bool MapMovie(const Json::Value& movie, const Settings& settings, Json::Value* title);

// Answers one request: fills `answer` with an array of titles, or gives
// false with `error` set (an unusable request, an HTTP failure, or TMDb's
// error answer, whose status message it carries).
bool Answer(const kinoro_plugins::Request& request, Json::Value* answer, std::string* error);

}  // namespace kinoro_tmdb

#endif  // KINORO_PLUGINS_TMDB_TMDB_H_
