#include "platform/videodb/tmdb_match.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "libkinoro/api.h"
#include "platform/videodb/download.h"
#include "platform/videodb/image_check.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/schema.h"
#include "platform/videodb/sqlite_db.h"
#include "velm/plugin.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPluginId[] = "tmdb";
// One page of TMDb's search: the film is on it or the title is too vague.
constexpr unsigned long kSearchResults = 20;
// Downloaded artwork larger than this is refused.
constexpr size_t kMaxArtworkBytes = 20 << 20;

// Movies looked up without a confident match, with the title and date they
// were looked up by: a rename or an edit makes them due again, and so does
// --rematch. Made here rather than in the schema's versions because only
// matching uses it; rows of removed videos are dropped at each run.
constexpr char kLookupTable[] = R"sql(
CREATE TABLE IF NOT EXISTS tmdb_lookup (
  mapper_id INTEGER PRIMARY KEY,
  title TEXT NOT NULL,
  original_available TEXT NOT NULL,
  looked_at INTEGER NOT NULL
);
DELETE FROM tmdb_lookup WHERE mapper_id NOT IN (SELECT id FROM mapper);
)sql";

struct Candidate {
  long long mapper_id = 0;
  std::string title;
  std::string date;
  bool show = false;  // a TV show (its episodes are not matched one by one)
};

int YearOf(const std::string& date) {
  if (date.size() < 4) return 0;
  for (int i = 0; i < 4; ++i) {
    if (date[i] < '0' || date[i] > '9') return 0;
  }
  return atoi(date.substr(0, 4).c_str());
}

// Lower-case ASCII of the Latin-1 letters (U+00C0 to U+00FF) after C3 in
// UTF-8; 0 for the multiplication and division signs.
char FoldLatin1(unsigned char second) {
  // Capitals (0x80..0x9f) and small letters (0xa0..0xbf) alike.
  static const char kFold[] = "aaaaaaaceeeeiiiidnooooo0ouuuuyts";
  if (second < 0x80 || second > 0xbf) return 0;
  if (second == 0xbf) return 'y';
  const char c = kFold[(second - 0x80) & 0x1f];
  return c == '0' ? 0 : c;
}

bool Ask(const Json::Value& plugin, const char* type, const Json::Value& request,
         unsigned long limit, Json::Value* answer) {
  Json::Value result;
  if (VELMKinoro::VideoPluginLookup(plugin, type, "enu", request, result, limit, true) < 0) {
    return false;  // the engine logged why
  }
  if (!result.isArray()) {
    syslog(LOG_ERR, "%s:%d tmdb answered %s with no list", "tmdb_match", __LINE__,
           request["action"].asCString());
    return false;
  }
  *answer = std::move(result);
  return true;
}

const Json::Value& TmdbExtra(const Json::Value& title) {
  return title["extra"]["com.velmora.TheMovieDb"];
}

std::set<std::string> SplitMembers(const std::string& list) {
  std::set<std::string> members;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) members.insert(list.substr(start, end - start));
    start = end + 1;
  }
  return members;
}

std::vector<std::string> Names(const Json::Value& list) {
  std::vector<std::string> names;
  for (const Json::Value& name : list) {
    if (name.isString() && !name.asString().empty()) names.push_back(name.asString());
  }
  return names;
}

// Artwork that is ready for a row: downloaded, checked, in the image store.
struct Artwork {
  StoredImage image;
  bool created = false;
  bool ready = false;
};

class Matcher {
 public:
  Matcher(Connection* conn, const MatchOptions& options, const Json::Value& plugin,
          MatchStats* stats)
      : conn_(conn),
        options_(options),
        plugin_(plugin),
        stats_(stats),
        store_(conn->path()),
        download_folder_(DatabaseDir(conn->path()) + "/download") {}

  bool Candidates(std::vector<Candidate>* out, std::string* error) {
    if (!conn_->Exec(kLookupTable)) {
      *error = std::string("cannot keep the lookup marks: ") + sqlite3_errmsg(conn_->handle());
      return false;
    }
    for (const bool show : {false, true}) {
      const std::string sql =
          std::string("SELECT m.mapper_id, m.title, m.original_available FROM ") +
          (show ? "tvshow" : "movie") +
          " m LEFT JOIN tmdb_lookup t ON t.mapper_id = m.mapper_id "
          "WHERE m.tmdb_id <= 0 AND (?1 = 0 OR m.library_id = ?1) AND (?2 OR t.mapper_id IS NULL "
          "OR t.title != m.title OR t.original_available != m.original_available) ORDER BY m.id";
      Statement stmt = conn_->Prepare(sql.c_str());
      stmt.Bind(1, options_.library_id).Bind(2, options_.rematch ? 1 : 0);
      while (stmt.Step()) {
        out->push_back({stmt.ColumnInt64(0), stmt.ColumnText(1), stmt.ColumnText(2), show});
      }
      if (stmt.failed()) {
        *error = std::string("cannot list the videos: ") + sqlite3_errmsg(conn_->handle());
        return false;
      }
    }
    return true;
  }

  // False only when the database fails; a failed request counts as failed.
  bool MatchOne(const Candidate& movie, std::string* error) {
    ++stats_->looked;
    const int year = YearOf(movie.date);
    Json::Value search(Json::objectValue);
    search["action"] = "search";
    search["title"] = movie.title;
    if (year > 0) search["original_available"] = std::to_string(year);
    Json::Value results;
    const char* type = movie.show ? "tvshow" : "movie";
    if (!Ask(plugin_, type, search, kSearchResults, &results)) {
      ++stats_->failed;
      return true;
    }
    const Json::Value* found = ConfidentMatch(results, movie.title, year);
    if (found == nullptr && year > 0) {
      // TMDb's year filter is exact, while a match may be a year off (a
      // festival premiere, a release late in December): ask again without it.
      search.removeMember("original_available");
      if (!Ask(plugin_, type, search, kSearchResults, &results)) {
        ++stats_->failed;
        return true;
      }
      found = ConfidentMatch(results, movie.title, year);
    }
    if (found == nullptr) {
      ++stats_->unmatched;
      return MarkUnmatched(movie, error);
    }
    Json::Value request(Json::objectValue);
    request["action"] = "details";
    request["tmdb_id"] = TmdbExtra(*found)["reference"]["themoviedb"];
    Json::Value details;
    if (!Ask(plugin_, type, request, 1, &details) || details.empty() || !details[0].isObject()) {
      ++stats_->failed;
      return true;
    }
    return Store(movie, details[0], error);
  }

 private:
  bool MarkUnmatched(const Candidate& movie, std::string* error) {
    Statement mark = conn_->Prepare(
        "INSERT OR REPLACE INTO tmdb_lookup (mapper_id, title, original_available, looked_at) "
        "VALUES (?1, ?2, ?3, strftime('%s', 'now'))");
    mark.Bind(1, movie.mapper_id).Bind(2, movie.title).Bind(3, movie.date);
    if (mark.Run()) return true;
    *error = std::string("cannot mark a movie as looked up: ") + sqlite3_errmsg(conn_->handle());
    return false;
  }

  bool HasArtwork(long long mapper_id, bool poster) {
    Statement stmt = conn_->Prepare(poster ? "SELECT 1 FROM poster WHERE mapper_id = ?1"
                                           : "SELECT 1 FROM backdrop WHERE mapper_id = ?1");
    stmt.Bind(1, mapper_id);
    return stmt.Step();
  }

  // Downloads the first address of `urls` into the image store, unless the
  // video has artwork of that kind already. A failure is logged and counted;
  // the match is stored without it.
  Artwork Fetch(const Json::Value& urls, long long mapper_id, bool poster) {
    Artwork art;
    if (!urls.isArray() || urls.empty() || !urls[0].isString()) return art;
    if (HasArtwork(mapper_id, poster)) return art;
    const std::string url = urls[0].asString();
    const std::string path = DownloadToFolder(url, download_folder_, options_.download);
    std::string raw, bytes, why = "download failed";
    bool ok = !path.empty();
    if (ok) {
      ok = ReadWholeFile(path, kMaxArtworkBytes, &raw);
      if (!ok) why = "cannot read the downloaded file";
      unlink(path.c_str());
    }
    ok = ok && PrepareBackdropImage(raw, &bytes, &why);
    if (ok && !store_.Prepare(bytes, &art.image, &art.created)) {
      why = "cannot store it";
      ok = false;
    }
    if (!ok) {
      ++stats_->image_failures;
      syslog(LOG_ERR, "%s:%d no %s from %s: %s", "tmdb_match", __LINE__,
             poster ? "poster" : "backdrop", url.c_str(), why.c_str());
      return art;
    }
    art.ready = true;
    return art;
  }

  long long NameId(const char* table, const std::string& name) {
    const std::string insert =
        std::string("INSERT OR IGNORE INTO ") + table + " (name) VALUES (?1)";
    const std::string select = std::string("SELECT id FROM ") + table + " WHERE name = ?1";
    Statement add = conn_->Prepare(insert.c_str());
    add.Bind(1, name);
    if (!add.Run()) return -1;
    Statement find = conn_->Prepare(select.c_str());
    find.Bind(1, name);
    return find.Step() ? find.ColumnInt64(0) : -1;
  }

  // Replaces the video's genres (role 0) or its credits of `role`.
  bool ReplaceNames(long long mapper_id, int role, const std::vector<std::string>& names) {
    Statement drop =
        conn_->Prepare(role == 0 ? "DELETE FROM video_genre WHERE mapper_id = ?1"
                                 : "DELETE FROM credit WHERE mapper_id = ?1 AND role = ?2");
    drop.Bind(1, mapper_id);
    if (role != 0) drop.Bind(2, role);
    if (!drop.Run()) return false;
    int position = 0;
    for (const std::string& name : names) {
      const long long id = NameId(role == 0 ? "genre" : "person", name);
      if (id < 0) return false;
      Statement add = conn_->Prepare(
          role == 0 ? "INSERT INTO video_genre (mapper_id, position, genre_id) VALUES (?1, ?3, ?4)"
                    : "INSERT INTO credit (mapper_id, role, position, person_id) "
                      "VALUES (?1, ?2, ?3, ?4)");
      add.Bind(1, mapper_id).Bind(3, position++).Bind(4, id);
      if (role != 0) add.Bind(2, role);
      if (!add.Run()) return false;
    }
    return true;
  }

  bool InsertArtwork(long long mapper_id, const Artwork& art, bool poster) {
    // Someone may have added one since the download began; theirs stays.
    if (!art.ready || HasArtwork(mapper_id, poster)) return true;
    Statement insert =
        conn_->Prepare(poster ? "INSERT INTO poster (mapper_id, image, file, md5, size, mtime) "
                                "VALUES (?1, ?2, ?3, ?4, ?5, strftime('%s', 'now'))"
                              : "INSERT INTO backdrop (mapper_id, image, file, md5, size, mtime) "
                                "VALUES (?1, ?2, ?3, ?4, ?5, strftime('%s', 'now'))");
    insert.Bind(1, mapper_id);
    if (art.image.file.empty()) {
      insert.BindBlob(2, art.image.blob.data(), art.image.blob.size()).BindNull(3);
    } else {
      insert.BindNull(2).Bind(3, art.image.file);
    }
    insert.BindBlob(4, art.image.md5.data(), art.image.md5.size()).Bind(5, art.image.size);
    if (!insert.Run()) return false;
    ++stats_->images;
    return true;
  }

  // Downloads the artwork, then writes the match in one transaction.
  bool Store(const Candidate& movie, const Json::Value& title, std::string* error) {
    const Json::Value& extra = TmdbExtra(title);
    Artwork poster = Fetch(extra["poster"], movie.mapper_id, true);
    Artwork backdrop = Fetch(extra["backdrop"], movie.mapper_id, false);
    const long long images_before = stats_->images;
    bool ok = false;
    {
      Transaction txn(conn_);
      ok = txn.ok() && Write(movie, title, poster, backdrop) && txn.Commit();
    }
    // A file no row names (a failed write, artwork someone added meanwhile)
    // goes again.
    for (const Artwork* art : {&poster, &backdrop}) {
      if (art->created) store_.RemoveIfUnreferenced(conn_, art->image.file);
    }
    if (!ok) {
      stats_->images = images_before;
      *error =
          "cannot store the match of \"" + movie.title + "\": " + sqlite3_errmsg(conn_->handle());
      return false;
    }
    ++stats_->matched;
    return true;
  }

  // Fills the members that still came from the name or are empty; they
  // then no longer came from the name.
  bool Write(const Candidate& movie, const Json::Value& title, const Artwork& poster,
             const Artwork& backdrop) {
    const char* table = movie.show ? "tvshow" : "movie";
    const std::string select =
        "SELECT m.tmdb_id, m.title, m.sort_title, m.original_available, m.imdb_id, m.rating, "
        "m.summary, mp.from_name, "
        "(SELECT count(*) FROM video_genre WHERE mapper_id = m.mapper_id), "
        "(SELECT count(*) FROM credit WHERE mapper_id = m.mapper_id AND role = ?2), "
        "(SELECT count(*) FROM credit WHERE mapper_id = m.mapper_id AND role = ?3) FROM " +
        std::string(table) + " m JOIN mapper mp ON mp.id = m.mapper_id WHERE m.mapper_id = ?1";
    Statement read = conn_->Prepare(select.c_str());
    read.Bind(1, movie.mapper_id)
        .Bind(2, static_cast<int>(kRoleActor))
        .Bind(3, static_cast<int>(kRoleDirector));
    if (!read.Step()) return !read.failed();  // removed meanwhile: nothing to store
    // Matched meanwhile (a sidecar's id, another run): that one stands.
    if (read.ColumnInt64(0) > 0) return true;
    const std::string old_title = read.ColumnText(1), sort_title = read.ColumnText(2);
    const bool empty_date = read.ColumnText(3).empty(), empty_imdb = read.ColumnText(4).empty();
    const bool no_rating = read.ColumnDouble(5) < 0, empty_summary = read.ColumnText(6).empty();
    std::set<std::string> from_name = SplitMembers(read.ColumnText(7));
    const bool no_genres = read.ColumnInt64(8) == 0, no_actors = read.ColumnInt64(9) == 0,
               no_directors = read.ColumnInt64(10) == 0;
    read = Statement();

    auto ours = [&](const char* member, bool empty) {
      if (from_name.count(member) == 0 && !empty) return false;
      from_name.erase(member);
      return true;
    };
    const Json::Value& extra = TmdbExtra(title);
    std::vector<std::pair<std::string, Json::Value>> sets = {
        {"tmdb_id", extra["reference"]["themoviedb"]}};
    from_name.erase("tmdb_id");
    if (!title["title"].asString().empty() && ours("title", false)) {
      sets.emplace_back("title", title["title"]);
      if (ours("sort_title", sort_title == old_title)) {
        sets.emplace_back("sort_title", title["title"]);
      }
    }
    auto fill = [&](const char* member, const Json::Value& value, bool empty) {
      const bool known = value.isNumeric() || (value.isString() && !value.asString().empty());
      if (known && ours(member, empty)) sets.emplace_back(member, value);
    };
    fill("original_available", title["original_available"], empty_date);
    fill("imdb_id", extra["reference"]["imdb"], empty_imdb);
    fill("rating", extra["rating"]["themoviedb"], no_rating);
    fill("summary", title["summary"], empty_summary);

    std::string sql = std::string("UPDATE ") + table + " SET ";
    for (size_t i = 0; i < sets.size(); ++i) {
      sql += (i ? ", " : "") + sets[i].first + " = ?" + std::to_string(i + 2);
    }
    sql += " WHERE mapper_id = ?1";
    Statement update = conn_->Prepare(sql.c_str());
    update.Bind(1, movie.mapper_id);
    for (size_t i = 0; i < sets.size(); ++i) {
      const Json::Value& value = sets[i].second;
      const int index = static_cast<int>(i + 2);
      if (value.isIntegral()) {
        update.Bind(index, static_cast<long long>(value.asInt64()));
      } else if (value.isNumeric()) {
        update.Bind(index, value.asDouble());
      } else {
        update.Bind(index, value.asString());
      }
    }
    if (!update.Run()) return false;

    const struct {
      const char* member;
      const char* key;
      int role;
      bool empty;
    } lists[] = {{"genres", "genre", 0, no_genres},
                 {"actors", "actor", kRoleActor, no_actors},
                 {"directors", "director", kRoleDirector, no_directors}};
    for (const auto& list : lists) {
      const std::vector<std::string> names = Names(title[list.key]);
      if (names.empty() || !ours(list.member, list.empty)) continue;
      if (!ReplaceNames(movie.mapper_id, list.role, names)) return false;
    }

    std::string left;
    for (const std::string& member : from_name) left += (left.empty() ? "" : ",") + member;
    Statement mark = conn_->Prepare("UPDATE mapper SET from_name = ?2 WHERE id = ?1");
    mark.Bind(1, movie.mapper_id).Bind(2, left);
    Statement unmark = conn_->Prepare("DELETE FROM tmdb_lookup WHERE mapper_id = ?1");
    unmark.Bind(1, movie.mapper_id);
    return mark.Run() && unmark.Run() && InsertArtwork(movie.mapper_id, poster, true) &&
           InsertArtwork(movie.mapper_id, backdrop, false);
  }

  Connection* conn_;
  const MatchOptions& options_;
  const Json::Value& plugin_;
  MatchStats* stats_;
  ImageStore store_;
  const std::string download_folder_;
};

}  // namespace

std::string NormaliseTitle(const std::string& title) {
  std::string out;
  for (size_t i = 0; i < title.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(title[i]);
    if (c < 0x80) {
      if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) out += static_cast<char>(c);
      if (c >= 'A' && c <= 'Z') out += static_cast<char>(c - 'A' + 'a');
    } else if (c == 0xe2 && i + 2 < title.size() &&
               (static_cast<unsigned char>(title[i + 1]) & 0xfe) == 0x80) {
      i += 2;  // general punctuation (dashes, curly quotes) counts as none
    } else if (c == 0xc3 && i + 1 < title.size()) {
      const char folded = FoldLatin1(static_cast<unsigned char>(title[++i]));
      if (folded != 0) out += folded;
    } else {
      out += static_cast<char>(c);  // other scripts compare as they are
    }
  }
  return out;
}

const Json::Value* ConfidentMatch(const Json::Value& results, const std::string& title, int year) {
  const std::string wanted = NormaliseTitle(title);
  if (wanted.empty() || !results.isArray()) return nullptr;
  const Json::Value* best = nullptr;
  int best_distance = 2;
  int same_title = 0;
  for (const Json::Value& result : results) {
    if (!result.isObject() || !result["title"].isString() ||
        NormaliseTitle(result["title"].asString()) != wanted) {
      continue;
    }
    const Json::Value& id = TmdbExtra(result)["reference"]["themoviedb"];
    if (!id.isIntegral() || id.asInt64() <= 0) continue;
    ++same_title;
    if (year == 0) {
      best = &result;
      continue;
    }
    const int theirs = YearOf(result["original_available"].asString());
    const int distance = theirs > 0 ? abs(theirs - year) : 2;
    if (distance < best_distance) {
      best = &result;
      best_distance = distance;
    }
  }
  if (year == 0 && same_title != 1) return nullptr;
  return best;
}

MatchResult MatchVideos(Connection* conn, const MatchOptions& options, MatchStats* stats,
                        std::string* error) {
  const Clock::time_point start = Clock::now();
  *stats = MatchStats();
  // The engine skips tmdb without a key; this says so before asking at all.
  Json::Value conf;
  VELMKinoro::VELMVideoLoadPluginFromConf(conf);
  const Json::Value& key = conf["settings"][kPluginId]["api_key"];
  if (!key.isString() || key.asString().empty()) return MatchResult::kNoKey;
  Json::Value plugins;
  VELMKinoro::VELMVideoLoadPluginFromFolder(plugins);
  if (!plugins.isMember(kPluginId)) {
    *error = "the tmdb plug-in is not installed";
    return MatchResult::kFailed;
  }

  Matcher matcher(conn, options, plugins[kPluginId], stats);
  std::vector<Candidate> movies;
  if (!matcher.Candidates(&movies, error)) return MatchResult::kFailed;
  for (const Candidate& movie : movies) {
    if (!matcher.MatchOne(movie, error)) return MatchResult::kFailed;
    if (options.progress) options.progress(*stats);
  }
  stats->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return MatchResult::kDone;
}

int RunMatchCommand(long long library_id, bool rematch) {
  Connection* conn = Connection::Get();
  if (conn == nullptr) {
    fprintf(stderr, "kinoro-db: cannot open %s\n", GetDatabasePath().c_str());
    return 1;
  }
  MatchOptions options;
  options.library_id = library_id;
  options.rematch = rematch;
  options.download = ReadDownloadSettings();
  auto line = [](const MatchStats& stats) {
    char text[192];
    snprintf(text, sizeof(text), "%lld videos looked up: %lld matched, %lld unmatched, %lld failed",
             stats.looked, stats.matched, stats.unmatched, stats.failed);
    return std::string(text);
  };
  // On a terminal one line that keeps its place, as the scan's.
  const bool terminal = isatty(STDERR_FILENO) != 0;
  if (terminal) {
    options.progress = [&line](const MatchStats& stats) {
      fprintf(stderr, "\rmatch: %s\033[K", line(stats).c_str());
    };
  }
  MatchStats stats;
  std::string error;
  const MatchResult result = MatchVideos(conn, options, &stats, &error);
  if (terminal) fprintf(stderr, "\r\033[K");
  if (result == MatchResult::kNoKey) {
    fprintf(stderr, "TMDb matching needs an api_key in plugins.conf\n");
    return 0;
  }
  if (result == MatchResult::kFailed) {
    fprintf(stderr, "kinoro-db: match failed: %s\n", error.c_str());
    return 1;
  }
  printf("matched in %.1f s: %s; %lld images stored, %lld could not be fetched\n", stats.seconds,
         line(stats).c_str(), stats.images, stats.image_failures);
  if (stats.failed > 0) {
    printf("the %lld failed are looked up again on the next run\n", stats.failed);
  }
  if (stats.unmatched > 0) {
    printf(
        "the %lld unmatched keep their names and are looked up again only when renamed or "
        "with --rematch\n",
        stats.unmatched);
  }
  return 0;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
