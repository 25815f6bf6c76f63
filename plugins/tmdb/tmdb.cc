#include "plugins/tmdb/tmdb.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <curl/curl.h>

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

// Walks a paged TMDb list until `limit` distinct titles, the last page or
// kMaxPages. `skip_id` (the movie asked about) is never answered.
bool CollectPages(Client* client, const std::string& path, const Query& query, size_t limit,
                  int64_t skip_id, const Settings& settings, Json::Value* answer,
                  std::string* error) {
  *answer = Json::Value(Json::arrayValue);
  std::set<int64_t> seen;
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
      if (id == skip_id || !seen.insert(id).second) continue;
      answer->append(std::move(title));
    }
    int64_t total_pages = 0;
    if (results.empty() || !AsInt64(body["total_pages"], &total_pages) || page >= total_pages) {
      break;
    }
  }
  return true;
}

// A title search, narrowed to the year when the release date is known.
Query SearchQuery(const Json::Value& input) {
  Query query = {{"query", input["title"].asString()}};
  const Json::Value& date = input["original_available"];
  if (date.isString() && date.asString().size() >= 4) {
    query.emplace_back("year", date.asString().substr(0, 4));
  }
  return query;
}

bool FindIdByTitle(Client* client, const Json::Value& input, const Settings& settings, int64_t* id,
                   std::string* error) {
  Json::Value found;
  if (!CollectPages(client, "/search/movie", SearchQuery(input), 1, -1, settings, &found, error)) {
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

}  // namespace

bool ReadSettings(const Json::Value& settings, Settings* out, std::string* error) {
  *out = Settings();
  for (const char* key : {"api_key", "base_url", "language", "image_base_url"}) {
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
  return true;
}

bool MapMovie(const Json::Value& movie, const Settings& settings, Json::Value* title) {
  if (!movie.isObject()) return false;
  kinoro_plugins::Title out;
  if (!AsInt64(movie["id"], &out.tmdb_id) || out.tmdb_id <= 0) return false;
  out.title = movie["title"].isString() ? movie["title"].asString() : "";
  if (out.title.empty() && movie["original_title"].isString()) {
    out.title = movie["original_title"].asString();
  }
  if (movie["release_date"].isString()) out.original_available = movie["release_date"].asString();
  if (movie["overview"].isString()) out.summary = movie["overview"].asString();
  if (movie["imdb_id"].isString()) out.imdb_id = movie["imdb_id"].asString();
  if (movie["vote_average"].isNumeric()) {
    out.has_rating = true;
    out.rating = movie["vote_average"].asDouble();
  }
  std::string poster = ImageUrl(movie["poster_path"], settings);
  if (!poster.empty()) out.posters.push_back(poster);
  std::string backdrop = ImageUrl(movie["backdrop_path"], settings);
  if (!backdrop.empty()) out.backdrops.push_back(backdrop);
  *title = kinoro_plugins::TitleToJson(out);
  return true;
}

bool Answer(const Request& request, Json::Value* answer, std::string* error) {
  *answer = Json::Value(Json::arrayValue);
  if (request.type != "movie" || (request.action != "similar" && request.action != "search")) {
    *error = "cannot answer " + request.action + " for type " + request.type;
    return false;
  }
  Settings settings;
  if (!ReadSettings(request.settings, &settings, error)) return false;
  const Json::Value& input = request.input;
  const size_t limit =
      static_cast<size_t>(std::min<uint64_t>(request.limit, uint64_t{kMaxPages} * 20));
  Client client(settings);

  if (request.action == "search") {
    if (!HasTitle(input)) {
      *error = "search needs a \"title\"";
      return false;
    }
    if (limit == 0) return true;
    return CollectPages(&client, "/search/movie", SearchQuery(input), limit, -1, settings, answer,
                        error);
  }

  int64_t id = -1;
  if (input.isMember("tmdb_id")) {
    if (!AsInt64(input["tmdb_id"], &id) || id <= 0) {
      *error = "\"tmdb_id\" is not a positive integer";
      return false;
    }
  } else if (!HasTitle(input)) {
    *error = "similar needs a \"tmdb_id\" or a \"title\"";
    return false;
  }
  if (limit == 0) return true;
  // Without an id, the best match for the title stands for the movie.
  if (id <= 0) {
    if (!FindIdByTitle(&client, input, settings, &id, error)) return false;
    if (id <= 0) return true;
  }
  return CollectPages(&client, "/movie/" + std::to_string(id) + "/similar", {}, limit, id, settings,
                      answer, error);
}

}  // namespace kinoro_tmdb
