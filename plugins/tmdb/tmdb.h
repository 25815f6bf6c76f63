// The TheMovieDb plug-in: similar titles and title search over TMDb's
// web API (version 3).
#ifndef KINORO_PLUGINS_TMDB_TMDB_H_
#define KINORO_PLUGINS_TMDB_TMDB_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/json.h>

#include "kinoro/root.h"
#include "plugins/common/plugin_io.h"

namespace kinoro_tmdb {

constexpr char kDefaultBaseUrl[] = "https://api.themoviedb.org/3";
constexpr char kDefaultLanguage[] = "en-US";
constexpr char kDefaultImageBaseUrl[] = "https://image.tmdb.org/t/p/original";
// TMDb pages hold 20 titles; the module never asks for more than 100.
constexpr int kMaxPages = 10;
// Actors a movie's details name, in billing order.
constexpr size_t kDetailsCast = 15;
constexpr size_t kMaxResponseBytes = 2 << 20;
constexpr long kRequestTimeoutMs = 10000;
// All requests of one answer together; below the engine's limit in INFO, so
// that a slow TMDb gives a message rather than a killed plug-in.
constexpr long kAnswerTimeoutMs = 25000;
// The answer cache (tmdb_cache.h), shared by every tmdb process and so by
// the dropped user ids they run with.
constexpr char kDefaultCachePath[] = KINORO_PATH("/var/packages/Kinoro/var/tmdb-cache.db");
constexpr double kDefaultCacheHours = 24;
// An entry of 100 titles takes about 60 KB, so about 120 MB at most.
constexpr int64_t kDefaultCacheEntries = 2000;

struct Settings {
  std::string api_key;
  std::string base_url = kDefaultBaseUrl;  // without a trailing '/'
  std::string language = kDefaultLanguage;
  std::string image_base_url = kDefaultImageBaseUrl;
  std::string cache_path = kDefaultCachePath;
  int64_t cache_lifetime_s = static_cast<int64_t>(kDefaultCacheHours * 3600);  // 0: no cache
  int64_t cache_entries = kDefaultCacheEntries;                                // 0: no cache
};

// false with `error` set when the settings cannot be used (no api_key, a
// base_url that is not http or https, a cache setting that is no count).
// "cache_hours" (a number, 0 turns the cache off), "cache_entries" and
// "cache_path" set the answer cache.
bool ReadSettings(const Json::Value& settings, Settings* out, std::string* error);

// One entry of a TMDb movie list, or a movie's details, in the title form.
// Returns false when the entry has no usable id.
bool MapMovie(const Json::Value& movie, const Settings& settings, Json::Value* title);

// A /movie/{id} answer with "credits" and "external_ids" appended, in the
// title form with its genres, first kDetailsCast actors and directors, and
// the imdb id from either place. False without a usable id.
bool MapDetails(const Json::Value& movie, const Settings& settings, Json::Value* title);

// Answers one request: fills `answer` with an array of titles, or gives
// false with `error` set (an unusable request, an HTTP failure, or TMDb's
// error answer, whose status message it carries). Similar titles are TMDb's
// recommendations first, then the new titles of its similar list; "details"
// ({"tmdb_id"}) is one title with all MapDetails reads. Answers
// come from the cache when it holds them, and successful ones are kept
// there; the cache is opened on the first request that uses it and kept for
// the next ones of the process.
bool Answer(const kinoro_plugins::Request& request, Json::Value* answer, std::string* error);

}  // namespace kinoro_tmdb

#endif  // KINORO_PLUGINS_TMDB_TMDB_H_
