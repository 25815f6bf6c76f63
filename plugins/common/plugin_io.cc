#include "plugins/common/plugin_io.h"

#include <cmath>
#include <memory>
#include <utility>

namespace kinoro_plugins {

namespace {

// One line without its newline; false at the end of input. A last line
// without a newline still counts. Bytes past the cap are dropped, so that
// the next line is still read as one.
bool ReadLine(std::istream& in, std::string* line, bool* too_long) {
  line->clear();
  *too_long = false;
  std::streambuf* buf = in.rdbuf();
  for (;;) {
    const int c = buf->sbumpc();
    if (c == std::char_traits<char>::eof()) return !line->empty() || *too_long;
    if (c == '\n') return true;
    if (line->size() < kMaxRequestBytes) {
      line->push_back(static_cast<char>(c));
    } else {
      *too_long = true;
    }
  }
}

}  // namespace

int ServeRequests(std::istream& in, std::ostream& out, const Answerer& answer) {
  std::string line;
  bool too_long = false;
  while (ReadLine(in, &line, &too_long)) {
    Request request;
    Json::Value result;
    std::string error;
    if (too_long) {
      error = "request too large";
    } else if (ParseRequest(line, &request, &error) && answer(request, &result, &error)) {
      error.clear();
    } else if (error.empty()) {
      error = "no answer";
    }
    if (!error.empty()) {
      result = Json::Value(Json::objectValue);
      result["error"] = error;
    }
    out << ToJsonLine(result);
    out.flush();
    if (!out) return 1;
  }
  return 0;
}

bool ParseRequest(const std::string& text, Request* request, std::string* error) {
  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string parse_error;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &value, &parse_error);
  } catch (const std::exception&) {
    // nested deeper than the reader's limit
  }
  if (!parsed) {
    *error = "request is not JSON";
    return false;
  }
  if (!value.isObject()) {
    *error = "request is not a JSON object";
    return false;
  }
  for (const char* key : {"action", "type"}) {
    if (!value[key].isString()) {
      *error = std::string("request has no \"") + key + "\"";
      return false;
    }
  }
  request->action = value["action"].asString();
  request->type = value["type"].asString();
  request->lang = value["lang"].isString() ? value["lang"].asString() : "";
  const Json::Value& input = value["input"];
  if (!input.isNull() && !input.isObject()) {
    *error = "request \"input\" is not an object";
    return false;
  }
  request->input = input.isNull() ? Json::Value(Json::objectValue) : input;
  const Json::Value& limit = value["limit"];
  if (limit.isUInt64()) {
    request->limit = limit.asUInt64();
  } else if (limit.isNull()) {
    request->limit = 0;
  } else {
    *error = "request \"limit\" is not a count";
    return false;
  }
  const Json::Value& settings = value["settings"];
  request->settings = settings.isObject() ? settings : Json::Value(Json::objectValue);
  return true;
}

Json::Value TitleToJson(const Title& title) {
  Json::Value out(Json::objectValue);
  out["title"] = title.title;
  out["original_available"] = title.original_available;
  out["summary"] = title.summary;
  for (const auto& [key, names] :
       {std::pair{"genre", &title.genres}, std::pair{"actor", &title.actors},
        std::pair{"director", &title.directors}}) {
    for (const std::string& name : *names) out[key].append(name);
  }
  Json::Value tmdb(Json::objectValue);
  Json::Value reference(Json::objectValue);
  if (title.tmdb_id > 0) reference["themoviedb"] = Json::Int64(title.tmdb_id);
  if (!title.imdb_id.empty()) reference["imdb"] = title.imdb_id;
  tmdb["reference"] = reference;
  if (title.has_rating) tmdb["rating"]["themoviedb"] = title.rating;
  for (const std::string& url : title.posters) tmdb["poster"].append(url);
  for (const std::string& url : title.backdrops) tmdb["backdrop"].append(url);
  out["extra"]["com.velmora.TheMovieDb"] = tmdb;
  return out;
}

bool AsInt64(const Json::Value& value, int64_t* out) {
  if (value.isInt64()) {
    *out = value.asInt64();
    return true;
  }
  if (value.isDouble()) {
    double d = value.asDouble();
    // 2^63 is exact as a double; anything below it converts safely.
    if (std::isfinite(d) && d == std::floor(d) && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      *out = static_cast<int64_t>(d);
      return true;
    }
  }
  return false;
}

std::string ToJsonLine(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  // Ratings such as 8.7 read as 8.7, not 8.6999999999999993.
  writer["precision"] = 15;
  return Json::writeString(writer, value) + "\n";
}

}  // namespace kinoro_plugins
