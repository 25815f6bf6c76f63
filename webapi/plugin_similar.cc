#include "webapi/plugin_similar.h"

#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "velm/plugin.h"

namespace velmkr {
namespace webapi {

namespace {

const char kSource[] = "plugin_similar";

// The most titles one pass asks of the plug-ins, and how much each pass
// grows over the last: the page is filled with few plug-in runs while a
// plug-in never has to rank more than this many titles.
constexpr unsigned int kMaxPassCount = 100;
constexpr unsigned int kPassGrowth = 5;

// The only language the similar lookup sends: the plug-ins match by TMDb
// id, so the language only shapes the texts of the titles.
const char kSimilarLang[] = "enu";
const char kSimilarAction[] = "similar";

// Bounds of a double that converts to a signed 64-bit integer without
// overflow (2^63 is exactly representable).
constexpr double kInt64Bound = 9223372036854775808.0;

// The member `key` of `value` when `value` is an object that has it.
const Json::Value* Member(const Json::Value& value, const char* key) {
  if (!value.isObject()) return nullptr;
  return value.find(key, key + std::char_traits<char>::length(key));
}

// The request's "path" as text, as the plug-in log line shows it; the
// similar request has none, which shows as empty text.
std::string RequestPath(const Json::Value& request) {
  const Json::Value* path = Member(request, "path");
  if (path == nullptr || !path->isConvertibleTo(Json::stringValue)) return "";
  return path->asString();
}

// Empties a reused answer value the way the engine expects to get it: an
// array or object keeps its kind, anything else becomes null.
void ClearResult(Json::Value& result) {
  if (result.isArray() || result.isObject()) {
    result.clear();
  } else {
    result = Json::Value();
  }
}

// An answer is usable when its first title is an object with a "title"
// that is not empty in the JSON library's sense; later titles are not
// examined.
bool IsUsableAnswer(const Json::Value& answer) {
  if (!answer.isArray() || answer.empty()) return false;
  const Json::Value* title = Member(answer[0], "title");
  return title != nullptr && !title->empty();
}

}  // namespace

SimilarAPI::SimilarAPI(const VELM::APIParameter<int>& id, const VELM::APIParameter<int>& offset,
                       const VELM::APIParameter<int>& limit)
    : id_(id),
      tmdb_id_(-1),
      offset_(offset.IsSet() ? static_cast<unsigned int>(offset.Get()) : 0),
      limit_(static_cast<unsigned int>(limit.Get())) {}

SimilarAPI::~SimilarAPI() {}

int SimilarAPI::ProcessInput(LibKinoro::db::api::MovieAPI& movie_api) {
  if (!id_.IsSet()) return 120;
  const LibKinoro::db::record::Movie movie = movie_api.GetInfo(id_.Get());
  if (!movie.IsValid()) {
    syslog(LOG_ERR, "%s:%d cannot find movie id: %d", kSource, 192, id_.Get());
    return 101;
  }
  tmdb_id_ = movie.tmdb_id;
  if (tmdb_id_ < 0) {
    syslog(LOG_ERR, "%s:%d the specifed movie doesn't have tmdb id: %d", kSource, 197, id_.Get());
    return 101;
  }
  return 0;
}

int SimilarAPI::GetSimilarMovies(LibKinoro::db::api::MovieAPI& movie_api,
                                 std::vector<LibKinoro::db::record::Movie>& movies) {
  const int code = ProcessInput(movie_api);
  if (code != 0) return code;

  // No page can start past the movies that could ever match, so such an
  // offset costs no plug-in run.
  const long long total = movie_api.GetNumMoviesWithTMDbID();
  if (total <= static_cast<long long>(offset_)) return 0;
  const unsigned int target = static_cast<unsigned int>(
      std::min<long long>(total - static_cast<long long>(offset_), limit_));

  // The given movie's own id is seen from the start, so neither it nor
  // another copy of it in the database is ever offered as similar.
  std::set<long long> seen = {tmdb_id_};
  Json::Value request(Json::objectValue);
  request["tmdb_id"] = static_cast<Json::Int64>(tmdb_id_);
  unsigned int position = 0;
  unsigned int count = limit_;
  for (;;) {
    // 64-bit so that a large limit cannot wrap before the cap applies.
    count = static_cast<unsigned int>(
        std::min<uint64_t>(static_cast<uint64_t>(count) * kPassGrowth, kMaxPassCount));
    // Each pass repeats the same request for more titles: the plug-ins
    // answer their best titles again, and the seen set skips those already
    // matched (or missed) by an earlier pass.
    const Json::Value results = GetSimilarMoviesFromPlugin(request, static_cast<int>(count));
    if (!results.isArray() || results.empty()) break;
    const std::vector<long long> new_ids = GetTMDbIDs(results, seen);
    const std::vector<LibKinoro::db::record::Movie> batch = movie_api.ListInTMDb(new_ids);
    position = ClipMovies(position, offset_, target, batch, movies);
    // Fewer titles than asked means the plug-ins have nothing more to give.
    if (results.size() != count || count == kMaxPassCount || movies.size() >= target) break;
  }
  return 0;
}

long long GetTMDbID(const Json::Value& title) {
  const Json::Value* value = &title;
  for (const char* key : {"extra", "com.velmora.TheMovieDb", "reference", "themoviedb"}) {
    value = Member(*value, key);
    if (value == nullptr) return -1;
  }
  const Json::Value& id = *value;
  if (id.empty()) return -1;
  if (id.isBool()) return id.asBool() ? 1 : 0;
  if (id.isInt64()) return id.asInt64();
  // A real with a fraction, or an integer beyond the signed range; texts
  // and non-empty arrays or objects carry no usable id.
  if (id.isDouble()) {
    const double real = id.asDouble();
    if (real > -kInt64Bound && real < kInt64Bound) return static_cast<long long>(real);
  }
  return -1;
}

std::vector<long long> GetTMDbIDs(const Json::Value& titles, std::set<long long>& seen) {
  std::vector<long long> ids;
  if (!titles.isArray()) return ids;
  for (const Json::Value& title : titles) {
    const long long id = GetTMDbID(title);
    if (id <= 0) continue;
    if (seen.insert(id).second) ids.push_back(id);
  }
  return ids;
}

unsigned int ClipMovies(unsigned int position, unsigned int offset, unsigned int target,
                        const std::vector<LibKinoro::db::record::Movie>& batch,
                        std::vector<LibKinoro::db::record::Movie>& out) {
  const size_t n = batch.size();
  if (position + n <= offset) return static_cast<unsigned int>(position + n);
  const size_t start = position < offset ? offset - position : 0;
  unsigned int next = std::max(position, offset);
  // The target is tested before each copy, so a page of 0 stays empty even
  // when the plug-ins answer more than they were asked.
  for (size_t i = start; i < n && out.size() < target; ++i) {
    out.push_back(batch[i]);
    ++next;
  }
  return next;
}

void SetupPlugins(LibKinoro::_VIDEO_TYPE_ type, const std::string& action,
                  std::vector<std::string>& plugins) {
  Json::Value conf;
  VELMKinoro::VELMVideoLoadPluginFromConf(conf);
  // The empty language asks for every plug-in, whatever languages it names.
  VELMKinoro::VELMVideoGetPluginPriority(conf, LibKinoro::VideoTypeGetName(type), "", action,
                                         plugins);
}

void QueryPlugins(const std::vector<std::string>& plugins, const Json::Value& request,
                  LibKinoro::_VIDEO_TYPE_ type, const std::string& lang, int limit,
                  Json::Value& output) {
  Json::Value folder;
  VELMKinoro::VELMVideoLoadPluginFromFolder(folder);
  const std::string type_name = LibKinoro::VideoTypeGetName(type);
  output = Json::Value(Json::arrayValue);

  Json::Value result;
  for (const std::string& id : plugins) {
    // A ranked plug-in that is not installed is not an error.
    const Json::Value* plugin = Member(folder, id.c_str());
    if (plugin == nullptr) continue;
    ClearResult(result);
    // Once earlier plug-ins gave more than the limit, later ones are still
    // asked, for nothing; the count must not wrap around.
    const long long wanted = static_cast<long long>(limit) - output.size();
    const unsigned long count = wanted > 0 ? static_cast<unsigned long>(wanted) : 0;
    if (VELMKinoro::VideoPluginLookup(*plugin, type_name, lang, request, result, count, true) < 0) {
      continue;
    }
    if (result.isArray() && result.empty()) continue;
    if (!IsUsableAnswer(result)) {
      syslog(LOG_ERR, "%s:%d Invalid Result: %s, %s", kSource, 90, id.c_str(),
             RequestPath(request).c_str());
      continue;
    }
    for (const Json::Value& title : result) output.append(title);
  }
}

Json::Value GetSimilarMoviesFromPlugin(const Json::Value& movie, int limit) {
  const std::string lang = kSimilarLang;
  std::vector<std::string> plugins;
  Json::Value request(Json::objectValue);
  Json::Value result(Json::arrayValue);
  for (const char* key : {"title", "original_available", "tmdb_id"}) {
    const Json::Value* value = Member(movie, key);
    if (value != nullptr) request[key] = *value;
  }
  SetupPlugins(LibKinoro::VIDEO_TYPE_MOVIE, kSimilarAction, plugins);
  QueryPlugins(plugins, request, LibKinoro::VIDEO_TYPE_MOVIE, lang, limit, result);
  return result;
}

}  // namespace webapi
}  // namespace velmkr
