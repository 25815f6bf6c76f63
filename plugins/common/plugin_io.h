// What every metadata plug-in program shares: serving the engine's requests,
// the title form of an answer, and the count it may answer with.
#ifndef KINORO_PLUGINS_COMMON_PLUGIN_IO_H_
#define KINORO_PLUGINS_COMMON_PLUGIN_IO_H_

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace kinoro_plugins {

// The engine sends a few hundred bytes; anything near this is not a request.
constexpr size_t kMaxRequestBytes = 1 << 20;

struct Request {
  std::string action;
  std::string type;
  std::string lang;
  Json::Value input;     // an object (null in the request becomes an empty object)
  uint64_t limit = 0;    // as sent; callers clamp it to what they can answer
  Json::Value settings;  // an object
};

// False with `error` set when `text` is not a request.
bool ParseRequest(const std::string& text, Request* request, std::string* error);

// Answers one request: false with `error` set when it cannot.
using Answerer = std::function<bool(const Request&, Json::Value* answer, std::string* error)>;

// Serves requests, one JSON object per line, until `in` ends. Each line gets
// one line on `out`, flushed at once: the answer, or {"error": message} when
// the line is not a request or `answer` fails (a normal answer is never an
// object with "error"). Lines past kMaxRequestBytes are skipped to their end
// and refused. 0 at the end of input; 1 when `out` fails.
int ServeRequests(std::istream& in, std::ostream& out, const Answerer& answer);

// One found title in the form the module reads.
struct Title {
  std::string title;
  std::string original_available;  // "YYYY-MM-DD" or empty
  std::string summary;
  int64_t tmdb_id = -1;  // reference only when > 0
  std::string imdb_id;   // reference only when not empty
  bool has_rating = false;
  double rating = 0;
  std::vector<std::string> posters;
  std::vector<std::string> backdrops;
  // Known only from a movie's full details.
  std::vector<std::string> genres;
  std::vector<std::string> actors;  // in billing order
  std::vector<std::string> directors;
};

// {"title", "original_available", "summary", "genre", "actor", "director",
//  "extra": {"com.velmora.TheMovieDb": {"reference": {"themoviedb", "imdb"},
//  "rating": {"themoviedb"}, "poster", "backdrop"}}}
// with the optional members (name lists included) present only when known.
Json::Value TitleToJson(const Title& title);

// An integral number, or a real with an integral value, that fits int64.
bool AsInt64(const Json::Value& value, int64_t* out);

// Compact JSON and a newline, as the engine reads it.
std::string ToJsonLine(const Json::Value& value);

}  // namespace kinoro_plugins

#endif  // KINORO_PLUGINS_COMMON_PLUGIN_IO_H_
