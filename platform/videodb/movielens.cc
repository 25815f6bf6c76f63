#include "platform/videodb/movielens.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "platform/videodb/db_util.h"
#include "platform/videodb/image_store.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

constexpr size_t kMaxCsvBytes = size_t{1} << 31;

bool ParseInt(const std::string& text, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long value = strtoll(text.c_str(), &end, 10);
  if (*end != '\0') return false;
  *out = value;
  return true;
}

bool ParseDouble(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double value = strtod(text.c_str(), &end);
  if (*end != '\0') return false;
  *out = value;
  return true;
}

// Reads <dir>/<name> as CSV without its header line. `required` makes a
// missing file an error; otherwise it reads as empty.
bool ReadCsv(const std::string& dir, const char* name, bool required,
             std::vector<std::vector<std::string>>* rows, std::string* error) {
  std::string text;
  std::string path = dir + "/" + name;
  if (!ReadWholeFile(path, kMaxCsvBytes, &text)) {
    if (!required) return true;
    *error = path + ": cannot read";
    return false;
  }
  *rows = ParseCsv(text);
  if (!rows->empty()) rows->erase(rows->begin());
  return true;
}

std::string Where(const char* name, size_t row) {
  return std::string(name) + " line " + std::to_string(row + 2);
}

// "Heat (1995)" gives "Heat" and 1995; a title without a trailing year is
// kept whole with year 0.
void SplitTitle(const std::string& raw, std::string* title, int* year) {
  std::string text = raw;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  *year = 0;
  *title = text;
  size_t n = text.size();
  if (n >= 7 && text[n - 1] == ')' && text[n - 6] == '(') {
    std::string digits = text.substr(n - 5, 4);
    if (digits.find_first_not_of("0123456789") == std::string::npos) {
      *year = std::atoi(digits.c_str());
      *title = text.substr(0, n - 6);
      while (!title->empty() && title->back() == ' ') title->pop_back();
    }
  }
}

}  // namespace

std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false;
  bool row_started = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
      row_started = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
      row_started = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      if (row_started || !field.empty()) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
      }
      field.clear();
      row.clear();
      row_started = false;
    } else {
      field += c;
      row_started = true;
    }
  }
  if (row_started || !field.empty()) {
    row.push_back(std::move(field));
    rows.push_back(std::move(row));
  }
  return rows;
}

bool MovieLensToJson(const std::string& dir, Json::Value* doc, std::string* error) {
  std::vector<std::vector<std::string>> movies, links, ratings, tags;
  if (!ReadCsv(dir, "movies.csv", true, &movies, error) ||
      !ReadCsv(dir, "links.csv", false, &links, error) ||
      !ReadCsv(dir, "ratings.csv", false, &ratings, error) ||
      !ReadCsv(dir, "tags.csv", false, &tags, error)) {
    return false;
  }

  struct Link {
    std::string imdb;
    long long tmdb = -1;
  };
  std::map<long long, Link> link_of;
  for (size_t i = 0; i < links.size(); ++i) {
    long long id = 0;
    if (links[i].size() < 3 || !ParseInt(links[i][0], &id)) {
      *error = Where("links.csv", i) + ": expected movieId,imdbId,tmdbId";
      return false;
    }
    Link& link = link_of[id];
    if (!links[i][1].empty()) link.imdb = "tt" + links[i][1];
    long long tmdb = -1;
    if (ParseInt(links[i][2], &tmdb)) link.tmdb = tmdb;
  }

  struct Stats {
    double sum = 0;
    long long count = 0;
    long long first_seen = -1;
  };
  std::map<long long, Stats> stats;
  auto seen = [&](long long id, long long when) {
    Stats& s = stats[id];
    if (s.first_seen < 0 || when < s.first_seen) s.first_seen = when;
  };
  for (size_t i = 0; i < ratings.size(); ++i) {
    long long movie = 0, when = 0;
    double rating = 0;
    if (ratings[i].size() < 4 || !ParseInt(ratings[i][1], &movie) ||
        !ParseDouble(ratings[i][2], &rating) || !ParseInt(ratings[i][3], &when)) {
      *error = Where("ratings.csv", i) + ": expected userId,movieId,rating,timestamp";
      return false;
    }
    stats[movie].sum += rating;
    stats[movie].count += 1;
    seen(movie, when);
  }
  std::map<long long, std::vector<std::string>> tags_of;
  std::map<long long, std::set<std::string>> tag_seen;
  for (size_t i = 0; i < tags.size(); ++i) {
    long long movie = 0, when = 0;
    if (tags[i].size() < 4 || !ParseInt(tags[i][1], &movie) || !ParseInt(tags[i][3], &when)) {
      *error = Where("tags.csv", i) + ": expected userId,movieId,tag,timestamp";
      return false;
    }
    const std::string& tag = tags[i][2];
    if (!tag.empty() && tag_seen[movie].insert(tag).second) tags_of[movie].push_back(tag);
    seen(movie, when);
  }

  Json::Value out(Json::objectValue);
  Json::Value library(Json::objectValue);
  library["id"] = 1;
  library["title"] = "MovieLens";
  library["type"] = "movie";
  library["public"] = true;
  out["libraries"].append(library);
  Json::Value& list = out["movies"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < movies.size(); ++i) {
    long long id = 0;
    if (movies[i].size() < 3 || !ParseInt(movies[i][0], &id) || id <= 0 || id > 0x7fffffff) {
      *error = Where("movies.csv", i) + ": expected movieId,title,genres";
      return false;
    }
    Json::Value m(Json::objectValue);
    m["id"] = static_cast<Json::Int64>(id);
    m["library_id"] = 1;
    std::string title;
    int year = 0;
    SplitTitle(movies[i][1], &title, &year);
    m["title"] = title;
    m["sort_title"] = title;
    if (year > 0) m["original_available"] = std::to_string(year) + "-01-01";
    auto link = link_of.find(id);
    if (link != link_of.end()) {
      if (link->second.tmdb >= 0) m["tmdb_id"] = static_cast<Json::Int64>(link->second.tmdb);
      if (!link->second.imdb.empty()) m["imdb_id"] = link->second.imdb;
    }
    auto stat = stats.find(id);
    if (stat != stats.end() && stat->second.count > 0) {
      m["rating"] = stat->second.sum / static_cast<double>(stat->second.count);
    }
    // First rating or tag stands for the day the movie joined the library.
    long long added = stat != stats.end() && stat->second.first_seen >= 0 ? stat->second.first_seen
                                                                          : 946684800LL + id;
    m["create_time"] = FormatTime(added);
    Json::Value& genres = m["genres"] = Json::Value(Json::arrayValue);
    const std::string& genre_text = movies[i][2];
    size_t start = 0;
    while (start <= genre_text.size()) {
      size_t bar = genre_text.find('|', start);
      if (bar == std::string::npos) bar = genre_text.size();
      std::string genre = genre_text.substr(start, bar - start);
      if (!genre.empty() && genre != "(no genres listed)") genres.append(genre);
      start = bar + 1;
    }
    Json::Value& tag_list = m["tags"] = Json::Value(Json::arrayValue);
    for (const std::string& tag : tags_of[id]) tag_list.append(tag);
    Json::Value file(Json::objectValue);
    file["path"] = "/volume1/media/movielens/" + std::to_string(id) + ".mkv";
    m["files"].append(file);
    list.append(m);
  }
  *doc = std::move(out);
  return true;
}

bool ConvertMovieLens(const std::string& dir, const std::string& out_path, long long* movies,
                      std::string* error) {
  Json::Value doc;
  if (!MovieLensToJson(dir, &doc, error)) return false;
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  if (!out) {
    *error = out_path + ": cannot write";
    return false;
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(doc, &out);
  out << "\n";
  if (!out.flush()) {
    *error = out_path + ": write failed";
    return false;
  }
  *movies = static_cast<long long>(doc["movies"].size());
  return true;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
