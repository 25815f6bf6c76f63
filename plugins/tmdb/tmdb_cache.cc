#include "plugins/tmdb/tmdb_cache.h"

#include <sodium.h>
#include <sqlite3.h>

#include <utility>

namespace kinoro_tmdb {
namespace {

// Several tmdb processes may store at once; a writer waits this long for
// another before it gives up (and answers uncached).
constexpr int kBusyTimeoutMs = 1000;

// "fetched_for" is the count asked for when the list was fetched; a list
// shorter than it is all TMDb had. The rowid grows with every store, so the
// smallest is the oldest entry.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS answers ("
    " key BLOB NOT NULL UNIQUE,"
    " stored_at INTEGER NOT NULL,"
    " fetched_for INTEGER NOT NULL,"
    " titles TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS answers_stored_at ON answers(stored_at);";

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return Statement(statement);
}

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Runs a statement that returns no rows, with `bind` setting its parameters.
template <typename Bind>
bool Run(sqlite3* db, const char* sql, Bind bind) {
  Statement statement = Prepare(db, sql);
  if (!statement) return false;
  bind(statement.get());
  return sqlite3_step(statement.get()) == SQLITE_DONE;
}

bool ParseArray(const char* text, size_t size, Json::Value* value) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string ignored;
  try {
    return reader->parse(text, text + size, value, &ignored) && value->isArray();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::string CacheKey(const std::vector<std::string>& parts) {
  if (sodium_init() < 0) return "";
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
  // Each part with its length in front, so that no two lists of parts
  // hash the same text.
  for (const std::string& part : parts) {
    const std::string size = std::to_string(part.size()) + ":";
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(size.data()),
                              size.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(part.data()),
                              part.size());
  }
  std::string key(crypto_generichash_BYTES, '\0');
  crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(&key[0]), key.size());
  return key;
}

std::unique_ptr<AnswerCache> AnswerCache::Open(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<AnswerCache> cache(new AnswerCache(db));
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Readers never wait for a writer in WAL mode; losing the last stores in a
  // power cut costs a few requests to TMDb, hence no sync on every commit.
  Exec(db, "PRAGMA journal_mode=WAL");
  Exec(db, "PRAGMA synchronous=NORMAL");
  // Most tmdb processes answer one request; the last one to close would
  // otherwise copy the log into the database and sync it every time. The
  // log is copied when it grows past SQLite's threshold instead.
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (!Exec(db, kSchema)) return nullptr;
  return cache;
}

AnswerCache::~AnswerCache() { sqlite3_close(db_); }

bool AnswerCache::Find(const std::string& key, size_t limit, int64_t now, const Limits& limits,
                       Json::Value* titles) {
  if (key.empty()) return false;
  Statement statement =
      Prepare(db_, "SELECT stored_at, fetched_for, titles FROM answers WHERE key = ?");
  if (!statement) return false;
  sqlite3_bind_blob(statement.get(), 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) return false;
  const int64_t age = now - sqlite3_column_int64(statement.get(), 0);
  // An entry from the future (the clock was set back) is as good as expired.
  if (age < 0 || age >= limits.lifetime_s) return false;
  const uint64_t fetched_for = static_cast<uint64_t>(sqlite3_column_int64(statement.get(), 1));
  const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 2));
  Json::Value stored;
  if (text == nullptr ||
      !ParseArray(text, static_cast<size_t>(sqlite3_column_bytes(statement.get(), 2)), &stored)) {
    return false;
  }
  if (limit > fetched_for && stored.size() >= fetched_for) return false;  // TMDb may have more
  Json::Value out(Json::arrayValue);
  for (Json::ArrayIndex i = 0; i < stored.size() && out.size() < limit; ++i) {
    out.append(std::move(stored[i]));
  }
  *titles = std::move(out);
  return true;
}

void AnswerCache::Store(const std::string& key, size_t limit, const Json::Value& titles,
                        int64_t now, const Limits& limits) {
  if (key.empty() || !titles.isArray()) return;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const std::string text = Json::writeString(writer, titles);
  // One transaction, so that a failure half-way leaves the entries as they
  // were; IMMEDIATE takes the write lock at once, where the busy wait works.
  if (!Exec(db_, "BEGIN IMMEDIATE")) return;
  const bool stored =
      Run(db_, "DELETE FROM answers WHERE stored_at <= ? OR stored_at > ?",
          [&](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 1, now - limits.lifetime_s);
            sqlite3_bind_int64(s, 2, now);
          }) &&
      Run(db_,
          "INSERT OR REPLACE INTO answers(key, stored_at, fetched_for, titles) VALUES(?,?,?,?)",
          [&](sqlite3_stmt* s) {
            sqlite3_bind_blob(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            sqlite3_bind_int64(s, 2, now);
            sqlite3_bind_int64(s, 3, static_cast<int64_t>(limit));
            sqlite3_bind_text(s, 4, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
          }) &&
      Run(db_,
          "DELETE FROM answers WHERE rowid IN"
          " (SELECT rowid FROM answers ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
          [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, limits.max_entries); });
  if (!stored || !Exec(db_, "COMMIT")) Exec(db_, "ROLLBACK");
}

}  // namespace kinoro_tmdb
