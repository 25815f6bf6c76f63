// A store of tmdb's answers in SQLite, shared by every tmdb process of the
// machine. TMDb's lists for a movie change rarely and TMDb limits request
// rates, so a list fetched once answers later requests for as long as it is
// fresh. Nothing here ever fails an answer: a cache that cannot be opened,
// read or written is simply not used.
#ifndef KINORO_PLUGINS_TMDB_TMDB_CACHE_H_
#define KINORO_PLUGINS_TMDB_TMDB_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

struct sqlite3;

namespace kinoro_tmdb {

// A one-way digest of `parts` (each may hold any bytes), to key an entry
// without keeping what went into it (the api_key) in clear. Empty when the
// hash cannot be computed.
std::string CacheKey(const std::vector<std::string>& parts);

class AnswerCache {
 public:
  struct Limits {
    int64_t lifetime_s = 24 * 3600;  // older entries are neither used nor kept
    int64_t max_entries = 2000;      // beyond it the oldest stored go first
  };

  // Opens or creates the database at `path`; null when it cannot be used
  // (no folder, no permission, not a database).
  static std::unique_ptr<AnswerCache> Open(const std::string& path);
  ~AnswerCache();
  AnswerCache(const AnswerCache&) = delete;
  AnswerCache& operator=(const AnswerCache&) = delete;

  // The first `limit` titles stored under `key`, when the entry is fresh and
  // holds what a new fetch for `limit` would: it was fetched for at least
  // `limit`, or TMDb ran out before the count it was fetched for.
  bool Find(const std::string& key, size_t limit, int64_t now, const Limits& limits,
            Json::Value* titles);

  // Keeps `titles`, fetched for `limit`, under `key` in place of what was
  // there; drops expired entries and the oldest beyond the bound.
  void Store(const std::string& key, size_t limit, const Json::Value& titles, int64_t now,
             const Limits& limits);

 private:
  explicit AnswerCache(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

}  // namespace kinoro_tmdb

#endif  // KINORO_PLUGINS_TMDB_TMDB_CACHE_H_
