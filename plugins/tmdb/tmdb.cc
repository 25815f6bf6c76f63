#include "plugins/tmdb/tmdb.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <ctime>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "plugins/tmdb/tmdb_cache.h"

namespace kinoro_tmdb {
namespace {

using kinoro_plugins::AsInt64;
using kinoro_plugins::Request;
using Query = std::vector<std::pair<std::string, std::string>>;

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct Body {
  std::string text;
  bool over_cap = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  size_t bytes = size * count;
  if (body->text.size() + bytes > kMaxResponseBytes) {
    body->over_cap = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  body->text.append(data, bytes);
  return bytes;
}

std::string Escape(CURL* curl, const std::string& text) {
  char* escaped = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
  std::string out = escaped ? escaped : "";
  curl_free(escaped);
  return out;
}

bool ParseJson(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string ignored;
  try {
    return reader->parse(text.data(), text.data() + text.size(), value, &ignored);
  } catch (const std::exception&) {
    return false;  // nested deeper than the reader's limit
  }
}

// TMDb's error answers carry {"status_code", "status_message"} and often
// "success": false; some come with HTTP 200. Empty when `body` is none.
std::string TmdbError(const Json::Value& body) {
  if (!body.isObject()) return "";
  const Json::Value& message = body["status_message"];
  const Json::Value& code = body["status_code"];
  bool failed = body["success"].isBool() && !body["success"].asBool();
  if (!failed && !(message.isString() && code.isIntegral())) return "";
  std::string text = message.isString() ? message.asString() : "request failed";
  if (code.isIntegral()) text += " (status_code " + std::to_string(code.asInt64()) + ")";
  return text;
}

class Client {
 public:
  explicit Client(const Settings& settings)
      : settings_(settings),
        curl_(curl_easy_init()),
        deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs)) {}

  // GET base_url + path with the key, the language and `query`; the body
  // parsed. The key never appears in an error message.
  bool Get(const std::string& path, const Query& query, Json::Value* body, std::string* error) {
    if (!curl_) {
      *error = "cannot start an HTTP client";
      return false;
    }
    const long left_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline_ - std::chrono::steady_clock::now())
                                               .count());
    if (left_ms <= 0) {
      *error = "out of time before asking TMDb for " + path;
      return false;
    }
    CURL* curl = curl_.get();
    curl_easy_reset(curl);
    std::string url = settings_.base_url + path + "?api_key=" + Escape(curl, settings_.api_key) +
                      "&language=" + Escape(curl, settings_.language);
    for (const auto& [name, value] : query) url += "&" + name + "=" + Escape(curl, value);

    Body received;
    char curl_error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(left_ms, kRequestTimeoutMs / 2));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, std::min(left_ms, kRequestTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kinoro-tmdb/1.0");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
    CURLcode code = curl_easy_perform(curl);
    if (received.over_cap) {
      *error = "TMDb answer to " + path + " is larger than " + std::to_string(kMaxResponseBytes) +
               " bytes";
      return false;
    }
    if (code != CURLE_OK) {
      *error = "cannot reach TMDb (" + path +
               "): " + (curl_error[0] ? std::string(curl_error) : curl_easy_strerror(code));
      return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    Json::Value parsed;
    bool is_json = ParseJson(received.text, &parsed);
    std::string tmdb_error = is_json ? TmdbError(parsed) : "";
    if (status != 200 || !tmdb_error.empty()) {
      *error = "TMDb answered HTTP " + std::to_string(status) + " to " + path +
               (tmdb_error.empty() ? "" : ": " + tmdb_error);
      return false;
    }
    if (!is_json || !parsed.isObject()) {
      *error = "TMDb answer to " + path + " is not a JSON object";
      return false;
    }
    *body = std::move(parsed);
    return true;
  }

 private:
  const Settings& settings_;
  CurlPtr curl_;
  const std::chrono::steady_clock::time_point deadline_;
};

std::string ImageUrl(const Json::Value& path, const Settings& settings) {
  if (!path.isString() || path.asString().empty()) return "";
  std::string text = path.asString();
  if (text[0] != '/') text = "/" + text;
  return settings.image_base_url + text;
}

// The members every TMDb movie or show entry has; false without a usable
// id. Shows name their title "name" and their date "first_air_date".
bool FillTitle(const Json::Value& movie, const Settings& settings, kinoro_plugins::Title* out) {
  if (!movie.isObject()) return false;
  if (!AsInt64(movie["id"], &out->tmdb_id) || out->tmdb_id <= 0) return false;
  for (const char* key : {"title", "original_title", "name", "original_name"}) {
    if (!out->title.empty()) break;
    if (movie[key].isString()) out->title = movie[key].asString();
  }
  for (const char* key : {"release_date", "first_air_date"}) {
    if (movie[key].isString()) out->original_available = movie[key].asString();
  }
  if (movie["overview"].isString()) out->summary = movie["overview"].asString();
  if (movie["imdb_id"].isString()) out->imdb_id = movie["imdb_id"].asString();
  if (movie["vote_average"].isNumeric()) {
    out->has_rating = true;
    out->rating = movie["vote_average"].asDouble();
  }
  std::string poster = ImageUrl(movie["poster_path"], settings);
  if (!poster.empty()) out->posters.push_back(poster);
  std::string backdrop = ImageUrl(movie["backdrop_path"], settings);
  if (!backdrop.empty()) out->backdrops.push_back(backdrop);
  return true;
}

// Appends a non-empty name that is not listed yet.
void AddName(const Json::Value& name, std::vector<std::string>* names) {
  if (!name.isString() || name.asString().empty()) return;
  if (std::find(names->begin(), names->end(), name.asString()) != names->end()) return;
  names->push_back(name.asString());
}

// Walks a paged TMDb list, appending the titles not yet `seen` to `answer`
// until it holds `limit`, the list ends or kMaxPages were read.
bool CollectPages(Client* client, const std::string& path, const Query& query, size_t limit,
                  const Settings& settings, std::set<int64_t>* seen, Json::Value* answer,
                  std::string* error) {
  for (int page = 1; page <= kMaxPages && answer->size() < limit; ++page) {
    Query paged = query;
    paged.emplace_back("page", std::to_string(page));
    Json::Value body;
    if (!client->Get(path, paged, &body, error)) return false;
    const Json::Value& results = body["results"];
    if (!results.isArray()) {
      *error = "TMDb answer to " + path + " has no \"results\" list";
      return false;
    }
    for (const Json::Value& movie : results) {
      if (answer->size() >= limit) break;
      Json::Value title;
      if (!MapMovie(movie, settings, &title)) continue;
      int64_t id = title["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"].asInt64();
      if (!seen->insert(id).second) continue;
      answer->append(std::move(title));
    }
    int64_t total_pages = 0;
    if (results.empty() || !AsInt64(body["total_pages"], &total_pages) || page >= total_pages) {
      break;
    }
  }
  return true;
}

// A title search, narrowed to the year when the release date is known (a
// show's by the year it first aired).
Query SearchQuery(const Json::Value& input, bool show) {
  Query query = {{"query", input["title"].asString()}};
  const Json::Value& date = input["original_available"];
  if (date.isString() && date.asString().size() >= 4) {
    query.emplace_back(show ? "first_air_date_year" : "year", date.asString().substr(0, 4));
  }
  return query;
}

bool FindIdByTitle(Client* client, const Json::Value& input, const Settings& settings, int64_t* id,
                   std::string* error) {
  Json::Value found(Json::arrayValue);
  std::set<int64_t> seen;
  if (!CollectPages(client, "/search/movie", SearchQuery(input, false), 1, settings, &seen, &found,
                    error)) {
    return false;
  }
  *id = found.empty()
            ? -1
            : found[0]["extra"]["com.velmora.TheMovieDb"]["reference"]["themoviedb"].asInt64();
  return true;
}

bool HasTitle(const Json::Value& input) {
  return input["title"].isString() && !input["title"].asString().empty();
}

// Similar titles: TMDb's recommendations come from what people watched
// together and rank far better than its similar list's keyword overlap, so
// they come first and the similar list only fills up. Any failed request
// fails the answer, as a partial list would pass for all TMDb has.
bool CollectSimilar(Client* client, int64_t id, size_t limit, const Settings& settings,
                    Json::Value* answer, std::string* error) {
  std::set<int64_t> seen = {id};  // the movie is not similar to itself
  const std::string movie = "/movie/" + std::to_string(id);
  for (const char* list : {"/recommendations", "/similar"}) {
    if (answer->size() >= limit) break;
    if (!CollectPages(client, movie + list, {}, limit, settings, &seen, answer, error)) {
      return false;
    }
  }
  return true;
}

// The process's cache, opened on first use and again when the path changes
// (a configuration change in a process that answers many requests). A path
// that could not be opened is tried again on the next request.
AnswerCache* CacheAt(const std::string& path) {
  static std::string opened_path;
  static std::unique_ptr<AnswerCache> cache;
  if (!cache || opened_path != path) {
    cache = AnswerCache::Open(path);
    opened_path = path;
  }
  return cache.get();
}

// What a request's answer depends on besides the count: the action, the
// movie asked about, and the settings that shape the request or the titles.
// The key is hashed with the rest, never kept.
std::vector<std::string> CacheKeyParts(const Request& request, const Query& subject,
                                       const Settings& settings) {
  std::vector<std::string> parts = {"tmdb answer 1", request.action};
  if (request.type != "movie") parts.push_back(request.type);
  for (const auto& [name, value] : subject) {
    parts.push_back(name);
    parts.push_back(value);
  }
  for (const std::string* setting :
       {&settings.base_url, &settings.language, &settings.image_base_url, &settings.api_key}) {
    parts.push_back(*setting);
  }
  return parts;
}

}  // namespace

bool ReadSettings(const Json::Value& settings, Settings* out, std::string* error) {
  *out = Settings();
  for (const char* key : {"api_key", "base_url", "language", "image_base_url", "cache_path"}) {
    if (settings.isMember(key) && !settings[key].isString()) {
      *error = std::string("setting \"") + key + "\" is not a string";
      return false;
    }
  }
  out->api_key = settings["api_key"].asString();
  if (out->api_key.empty()) {
    *error = "no TMDb api_key in the plug-in settings";
    return false;
  }
  for (auto [key, field] : {std::pair<const char*, std::string*>{"base_url", &out->base_url},
                            {"image_base_url", &out->image_base_url}}) {
    if (!settings[key].asString().empty()) *field = settings[key].asString();
    while (!field->empty() && field->back() == '/') field->pop_back();
    if (strncasecmp(field->c_str(), "http://", 7) != 0 &&
        strncasecmp(field->c_str(), "https://", 8) != 0) {
      *error = std::string("setting \"") + key + "\" is not an http or https address";
      return false;
    }
  }
  if (!settings["language"].asString().empty()) out->language = settings["language"].asString();
  if (!settings["cache_path"].asString().empty()) {
    out->cache_path = settings["cache_path"].asString();
  }
  if (settings.isMember("cache_hours")) {
    const Json::Value& hours = settings["cache_hours"];
    if (!hours.isNumeric() || hours.asDouble() < 0) {
      *error = "setting \"cache_hours\" is not a number of hours";
      return false;
    }
    // Ten years is forever for TMDb's lists, and keeps the seconds in range.
    out->cache_lifetime_s = static_cast<int64_t>(std::min(hours.asDouble(), 87600.0) * 3600);
  }
  if (settings.isMember("cache_entries") &&
      (!AsInt64(settings["cache_entries"], &out->cache_entries) || out->cache_entries < 0)) {
    *error = "setting \"cache_entries\" is not a count";
    return false;
  }
  return true;
}

bool MapMovie(const Json::Value& movie, const Settings& settings, Json::Value* title) {
  kinoro_plugins::Title out;
  if (!FillTitle(movie, settings, &out)) return false;
  *title = kinoro_plugins::TitleToJson(out);
  return true;
}

bool MapDetails(const Json::Value& movie, const Settings& settings, Json::Value* title) {
  kinoro_plugins::Title out;
  if (!FillTitle(movie, settings, &out)) return false;
  const Json::Value& external = movie["external_ids"];
  if (out.imdb_id.empty() && external.isObject() && external["imdb_id"].isString()) {
    out.imdb_id = external["imdb_id"].asString();
  }
  for (const Json::Value& genre : movie["genres"]) {
    if (genre.isObject()) AddName(genre["name"], &out.genres);
  }
  const Json::Value& credits = movie["credits"];
  if (credits.isObject()) {
    // Billing order is "order"; TMDb sends the list sorted by it, but that
    // is not promised.
    std::vector<std::pair<int64_t, const Json::Value*>> cast;
    for (const Json::Value& person : credits["cast"]) {
      int64_t order = 0;
      if (!person.isObject()) continue;
      if (!AsInt64(person["order"], &order)) order = INT64_MAX;
      cast.emplace_back(order, &person["name"]);
    }
    std::stable_sort(cast.begin(), cast.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [order, name] : cast) {
      if (out.actors.size() >= kDetailsCast) break;
      AddName(*name, &out.actors);
    }
    for (const Json::Value& person : credits["crew"]) {
      if (person.isObject() && person["job"].isString() && person["job"].asString() == "Director") {
        AddName(person["name"], &out.directors);
      }
    }
  }
  *title = kinoro_plugins::TitleToJson(out);
  return true;
}

bool Answer(const Request& request, Json::Value* answer, std::string* error) {
  *answer = Json::Value(Json::arrayValue);
  // Shows are searched and detailed for matching; similar lists are movies'.
  const bool show = request.type == "tvshow";
  if ((request.type != "movie" && !show) ||
      (request.action != "similar" && request.action != "search" && request.action != "details") ||
      (show && request.action == "similar")) {
    *error = "cannot answer " + request.action + " for type " + request.type;
    return false;
  }
  Settings settings;
  if (!ReadSettings(request.settings, &settings, error)) return false;
  const Json::Value& input = request.input;
  // Details are one title, whatever count is asked for beyond none.
  const uint64_t most = request.action == "details" ? 1 : uint64_t{kMaxPages} * 20;
  const size_t limit = static_cast<size_t>(std::min<uint64_t>(request.limit, most));

  // What the answer is about: a search's query, or the movie whose similar
  // titles are asked for, by id or else by its title.
  const bool search = request.action == "search";
  const bool details = request.action == "details";
  int64_t id = -1;
  if (details && !input.isMember("tmdb_id")) {
    *error = "details needs a \"tmdb_id\"";
    return false;
  }
  if (search) {
    if (!HasTitle(input)) {
      *error = "search needs a \"title\"";
      return false;
    }
  } else if (input.isMember("tmdb_id")) {
    if (!AsInt64(input["tmdb_id"], &id) || id <= 0) {
      *error = "\"tmdb_id\" is not a positive integer";
      return false;
    }
  } else if (!HasTitle(input)) {
    *error = "similar needs a \"tmdb_id\" or a \"title\"";
    return false;
  }
  if (limit == 0) return true;
  const Query subject = id > 0 ? Query{{"tmdb_id", std::to_string(id)}} : SearchQuery(input, show);

  AnswerCache* cache = settings.cache_lifetime_s > 0 && settings.cache_entries > 0
                           ? CacheAt(settings.cache_path)
                           : nullptr;
  const AnswerCache::Limits limits{settings.cache_lifetime_s, settings.cache_entries};
  const std::string key = cache ? CacheKey(CacheKeyParts(request, subject, settings)) : "";
  if (cache && cache->Find(key, limit, time(nullptr), limits, answer)) return true;

  Client client(settings);
  bool ok;
  if (details) {
    // One request: the credits and the external ids come appended.
    Json::Value body, title;
    const std::string path = (show ? "/tv/" : "/movie/") + std::to_string(id);
    ok = client.Get(path, {{"append_to_response", "credits,external_ids"}}, &body, error);
    if (ok && !MapDetails(body, settings, &title)) {
      *error = "TMDb answer to " + path + " has no usable \"id\"";
      ok = false;
    }
    if (ok) answer->append(std::move(title));
  } else if (search) {
    std::set<int64_t> seen;
    ok = CollectPages(&client, show ? "/search/tv" : "/search/movie", subject, limit, settings,
                      &seen, answer, error);
  } else if (id <= 0) {
    // Without an id, the best match for the title stands for the movie.
    ok = FindIdByTitle(&client, input, settings, &id, error) &&
         (id <= 0 || CollectSimilar(&client, id, limit, settings, answer, error));
  } else {
    ok = CollectSimilar(&client, id, limit, settings, answer, error);
  }
  if (!ok) {
    *answer = Json::Value(Json::arrayValue);
    return false;
  }
  if (cache) cache->Store(key, limit, *answer, time(nullptr), limits);
  return true;
}

}  // namespace kinoro_tmdb
