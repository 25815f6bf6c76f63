#include "platform/videodb/importer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

#include "libkinoro/records.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/json_reader.h"
#include "platform/videodb/library_admin.h"
#include "platform/videodb/schema.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

constexpr long long kIntMax = std::numeric_limits<int>::max();
constexpr size_t kMaxImportImage = 20 * 1024 * 1024;

// The members of the video record being added, listed by one walk over its
// object. A movie is asked for some thirty members, most of them absent,
// and each lookup in jsoncpp's tree compares its way down from the root: a
// tenth of an import's writing thread. Set for the span of one record's Add
// call on the thread that adds it: adopted from the list the reader thread
// made, or made by a RecordMembers.
class MemberIndex {
 public:
  struct Entry {
    std::string_view name;
    const Json::Value* value;
  };

  static void List(const Json::Value& object, std::vector<Entry>* entries) {
    entries->clear();
    for (auto it = object.begin(); it != object.end(); ++it) {
      const char* end = nullptr;
      const char* name = it.memberName(&end);
      entries->push_back({std::string_view(name, static_cast<size_t>(end - name)), &*it});
    }
  }
  void Build(const Json::Value& object) {
    object_ = &object;
    List(object, &entries_);
  }
  // Takes a list made by List(object) (on the reader's thread), giving back
  // the one it held.
  void Adopt(const Json::Value& object, std::vector<Entry>* entries) {
    object_ = &object;
    entries_.swap(*entries);
  }
  void Clear() { object_ = nullptr; }
  bool Covers(const Json::Value& object) const { return &object == object_; }
  const Json::Value* Find(std::string_view key) const {
    for (const Entry& entry : entries_) {
      if (entry.name == key) return entry.value;
    }
    return nullptr;
  }

 private:
  const Json::Value* object_ = nullptr;
  std::vector<Entry> entries_;
};

thread_local MemberIndex record_members;

// Indexes a record's members while it is being added. The index is cleared
// at the end, so that no later object at the same address is taken for it.
class RecordMembers {
 public:
  explicit RecordMembers(const Json::Value& record) {
    if (record.isObject() && !record_members.Covers(record)) record_members.Build(record);
  }
  ~RecordMembers() { record_members.Clear(); }
  RecordMembers(const RecordMembers&) = delete;
  RecordMembers& operator=(const RecordMembers&) = delete;
};

// The member `key` of an object, or null: one lookup (isMember and then []
// would be two or three).
const Json::Value* Member(const Json::Value& object, const char* key) {
  if (record_members.Covers(object)) return record_members.Find(key);
  return object.isObject() ? object.find(key, key + strlen(key)) : nullptr;
}

// Reads typed members of one JSON object; a member of the wrong kind is an
// error that names it, an absent member leaves the output unchanged. The
// object's path is `path`, or `path.list[index]` when a list is given: it
// is spelled out only for a message.
class Reader {
 public:
  Reader(const Json::Value& value, const std::string& path, std::string* error,
         const char* list = nullptr, Json::ArrayIndex index = 0)
      : value_(value), path_(path), error_(error), list_(list), index_(index) {}

  bool Int(const char* key, long long min, long long max, long long* out) {
    const Json::Value* v = Find(key);
    if (v == nullptr) return true;
    if (!v->isInt64() || v->asInt64() < min || v->asInt64() > max) {
      return Fail(key,
                  "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
    }
    *out = v->asInt64();
    return true;
  }
  bool Number(const char* key, double* out) {
    const Json::Value* v = Find(key);
    if (v == nullptr) return true;
    if (!v->isNumeric()) return Fail(key, "expected a number");
    *out = v->asDouble();
    return true;
  }
  bool String(const char* key, std::string* out) {
    const Json::Value* v = Find(key);
    if (v == nullptr) return true;
    if (!v->isString()) return Fail(key, "expected a string");
    const char* begin = nullptr;
    const char* end = nullptr;
    v->getString(&begin, &end);
    out->assign(begin, static_cast<size_t>(end - begin));
    return true;
  }
  bool Bool(const char* key, bool* out) {
    const Json::Value* v = Find(key);
    if (v == nullptr) return true;
    if (!v->isBool()) return Fail(key, "expected true or false");
    *out = v->asBool();
    return true;
  }
  bool Time(const char* key, long long* out) {
    std::string text;
    if (Find(key) == nullptr) return true;
    if (!String(key, &text)) return false;
    if (!ParseTime(text, out)) return Fail(key, "expected a time such as 2024-01-02T03:04:05Z");
    return true;
  }
  bool StringArray(const char* key, std::vector<std::string>* out) {
    const Json::Value* v = Find(key);
    if (v == nullptr) return true;
    if (!v->isArray()) return Fail(key, "expected an array of strings");
    for (Json::ArrayIndex i = 0; i < v->size(); ++i) {
      if (!(*v)[i].isString()) {
        *error_ = Path() + "." + key + "[" + std::to_string(i) + "]: expected a string";
        return false;
      }
      out->push_back((*v)[i].asString());
    }
    return true;
  }
  bool Fail(const char* key, const std::string& message) {
    *error_ = Path() + "." + key + ": " + message;
    return false;
  }
  std::string Path() const {
    return list_ == nullptr ? path_ : path_ + "." + list_ + "[" + std::to_string(index_) + "]";
  }

 private:
  const Json::Value* Find(const char* key) const { return Member(value_, key); }

  const Json::Value& value_;
  const std::string& path_;
  std::string* error_;
  const char* list_;
  Json::ArrayIndex index_;
};

// The metadata members a file's name can give (the "from_name" list).
const std::set<std::string> kFromNameMembers = {"title",   "sort_title", "original_available",
                                                "summary", "tagline",    "certificate",
                                                "rating",  "tmdb_id",    "imdb_id",
                                                "season",  "episode",    "genres",
                                                "actors",  "directors",  "writers",
                                                "tags",    "collection"};

std::string Index(const std::string& base, Json::ArrayIndex i) {
  return base + "[" + std::to_string(i) + "]";
}

int StateFromText(const std::string& text) {
  static const char* const kStates[] = {"waiting", "converting", "done", "error", "stopped"};
  for (int i = 0; i < 5; ++i) {
    if (text == kStates[i]) return i;
  }
  return -1;
}

}  // namespace

long long ImportNow() { return NowSeconds(); }

struct Importer::VideoCommon {
  long long id = 0;  // 0: assigned by the database
  long long library_id = 0;
  long long mapper_id = 0;
  std::string title;
  std::string sort_title;
  std::string original_available;
  std::string summary;
  std::string certificate;
  double rating = -1.0;
  long long create_time = 0;
  bool stored = false;  // merge: the row exists and is updated
};

Importer::Importer(Connection* conn, std::string base_dir)
    : conn_(conn), base_dir_(std::move(base_dir)), images_(conn->path()) {}

Importer::~Importer() {
  if (committed_) return;
  txn_.reset();  // rolls back first, so no row can name the files below
  for (const std::string& file : created_files_) images_.Remove(file);
}

void Importer::SetProgress(std::function<void(long long)> progress, long long every) {
  progress_ = std::move(progress);
  progress_every_ = every > 0 ? every : 10000;
}

bool Importer::Begin() {
  txn_.reset(new Transaction(conn_));
  if (!txn_->ok()) {
    error_ = std::string("cannot start a transaction: ") + sqlite3_errmsg(conn_->handle());
    return false;
  }
  Statement stmt = conn_->Prepare("SELECT IFNULL(MAX(id), 0) FROM mapper");
  if (!stmt.Step()) return FailDb("mapper");
  next_mapper_ = stmt.ColumnInt64(0) + 1;
  now_ = ImportNow();
  return true;
}

bool Importer::Commit() {
  if (!txn_ || !txn_->Commit()) {
    error_ = std::string("commit failed: ") + sqlite3_errmsg(conn_->handle());
    return false;
  }
  committed_ = true;
  return true;
}

bool Importer::Fail(const std::string& path, const std::string& message) {
  error_ = path + ": " + message;
  return false;
}

bool Importer::FailDb(const std::string& path) {
  return Fail(path, sqlite3_errmsg(conn_->handle()));
}

void Importer::Tick() {
  if (progress_ && counts_.records() % progress_every_ == 0) progress_(counts_.records());
}

bool Importer::LibraryExists(long long id, const std::string& path) {
  // Nothing here removes a library, so one found stays found.
  if (known_libraries_.count(id) > 0) return true;
  Statement stmt = conn_->Prepare("SELECT 1 FROM library WHERE id = ?1");
  stmt.Bind(1, id);
  if (stmt.Step()) {
    known_libraries_.insert(id);
    return true;
  }
  if (stmt.failed()) return FailDb(path);
  return Fail(path + ".library_id", "no library " + std::to_string(id));
}

bool Importer::AddLibrary(const Json::Value& value, const std::string& path) {
  if (!value.isObject()) return Fail(path, "expected an object");
  Reader r(value, path, &error_);
  long long id = 0;
  std::string title, type = "movie";
  bool is_public = false, stored = false;
  if (!r.Int("id", 1, kIntMax, &id)) return false;
  if (merge_ && id > 0) {
    Statement find = conn_->Prepare("SELECT title, type, is_public FROM library WHERE id = ?1");
    find.Bind(1, id);
    stored = find.Step();
    if (find.failed()) return FailDb(path);
    if (stored) {
      title = find.ColumnText(0);
      type = find.ColumnText(1);
      is_public = find.ColumnInt(2) != 0;
    }
  }
  if (!r.String("title", &title) || !r.String("type", &type) || !r.Bool("public", &is_public)) {
    return false;
  }
  if (type != "movie" && type != "tvshow" && type != "home_video") {
    return Fail(path + ".type", "expected \"movie\", \"tvshow\" or \"home_video\"");
  }
  Statement stmt = conn_->Prepare(
      stored ? "UPDATE library SET title = ?2, type = ?3, is_public = ?4 WHERE id = ?1"
             : "INSERT INTO library (id, title, type, is_public, create_time) "
               "VALUES (?1, ?2, ?3, ?4, ?5)");
  if (id > 0) {
    stmt.Bind(1, id);
  } else {
    stmt.BindNull(1);
  }
  stmt.Bind(2, title).Bind(3, type).Bind(4, is_public ? 1 : 0);
  if (!stored) stmt.Bind(5, now_);
  if (!stmt.Run()) return FailDb(id > 0 ? path + ".id" : path);
  if (!stored) id = conn_->LastInsertRowId();
  // Merge: a list given replaces the stored one.
  for (const char* list : {"users", "paths"}) {
    if (!stored || !value.isMember(list)) continue;
    Statement clear = conn_->Prepare(std::string(list) == "users"
                                         ? "DELETE FROM library_user WHERE library_id = ?1"
                                         : "DELETE FROM library_path WHERE library_id = ?1");
    clear.Bind(1, id);
    if (!clear.Run()) return FailDb(path + "." + list);
  }

  if (value.isMember("users")) {
    const Json::Value& users = value["users"];
    if (!users.isArray()) return Fail(path + ".users", "expected an array of user ids");
    for (Json::ArrayIndex i = 0; i < users.size(); ++i) {
      const Json::Value& user = users[i];
      if (!user.isInt64() || user.asInt64() < 0 || user.asInt64() > 0xffffffffLL) {
        return Fail(Index(path + ".users", i), "expected a user id");
      }
      Statement add =
          conn_->Prepare("INSERT OR IGNORE INTO library_user (uid, library_id) VALUES (?1, ?2)");
      add.Bind(1, static_cast<long long>(user.asInt64())).Bind(2, id);
      if (!add.Run()) return FailDb(Index(path + ".users", i));
    }
  }
  // Folders as share paths ("/media/films"), found through the shares at
  // scan time; only their form is checked here.
  std::vector<std::string> paths;
  if (!r.StringArray("paths", &paths)) return false;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string item = Index(path + ".paths", static_cast<Json::ArrayIndex>(i));
    if (!IsSharePathForm(paths[i])) return Fail(item, "expected a share path such as /media/films");
    Statement add =
        conn_->Prepare("INSERT OR IGNORE INTO library_path (library_id, path) VALUES (?1, ?2)");
    add.Bind(1, id).Bind(2, paths[i]);
    if (!add.Run()) return FailDb(item);
  }
  ++counts_.libraries;
  return true;
}

bool Importer::LoadStored(const char* table, const std::string& path, VideoCommon* c) {
  const std::string sql =
      std::string(
          "SELECT mapper_id, library_id, title, sort_title, original_available, rating, "
          "summary, certificate, create_time FROM ") +
      table + " WHERE id = ?1";
  Statement stmt = conn_->Prepare(sql.c_str());
  stmt.Bind(1, c->id);
  if (!stmt.Step()) return !stmt.failed() || FailDb(path);
  c->stored = true;
  c->mapper_id = stmt.ColumnInt64(0);
  c->library_id = stmt.ColumnInt64(1);
  c->title = stmt.ColumnText(2);
  c->sort_title = stmt.ColumnText(3);
  c->original_available = stmt.ColumnText(4);
  c->rating = stmt.ColumnDouble(5);
  c->summary = stmt.ColumnText(6);
  c->certificate = stmt.ColumnText(7);
  c->create_time = stmt.ColumnInt64(8);
  return true;
}

bool Importer::UpdateStored(const char* table, const VideoCommon& c, const std::string& path) {
  const std::string sql = std::string("UPDATE ") + table +
                          " SET library_id = ?2, title = ?3, sort_title = ?4, "
                          "original_available = ?5, rating = ?6, summary = ?7, certificate = ?8, "
                          "create_time = ?9 WHERE id = ?1";
  Statement stmt = conn_->Prepare(sql.c_str());
  stmt.Bind(1, c.id)
      .Bind(2, c.library_id)
      .Bind(3, c.title)
      .Bind(4, c.sort_title)
      .Bind(5, c.original_available)
      .Bind(6, c.rating)
      .Bind(7, c.summary)
      .Bind(8, c.certificate)
      .Bind(9, c.create_time);
  if (!stmt.Run()) return FailDb(path);
  Statement mapper =
      conn_->Prepare("UPDATE mapper SET library_id = ?2, create_time = ?3 WHERE id = ?1");
  mapper.Bind(1, c.mapper_id).Bind(2, c.library_id).Bind(3, c.create_time);
  return mapper.Run() || FailDb(path);
}

bool Importer::InsertCommonRow(const char* table, const VideoCommon& c, long long id,
                               long long mapper_id, const std::string& path) {
  const std::string sql = std::string("INSERT INTO ") + table +
                          " (id, mapper_id, library_id, title, sort_title, original_available, "
                          "rating, summary, certificate, create_time) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";
  Statement stmt = conn_->Prepare(sql.c_str());
  stmt.Bind(1, id)
      .Bind(2, mapper_id)
      .Bind(3, c.library_id)
      .Bind(4, c.title)
      .Bind(5, c.sort_title)
      .Bind(6, c.original_available)
      .Bind(7, c.rating)
      .Bind(8, c.summary)
      .Bind(9, c.certificate)
      .Bind(10, c.create_time);
  if (!stmt.Run()) return FailDb(c.id > 0 ? path + ".id" : path);
  return true;
}

bool Importer::ReadCommon(const Json::Value& value, const std::string& path, const char* table,
                          VideoCommon* common) {
  if (!value.isObject()) return Fail(path, "expected an object");
  Reader r(value, path, &error_);
  common->create_time = now_;
  if (!r.Int("id", 1, kIntMax, &common->id)) return false;
  // The stored values are the defaults the document's members override.
  if (merge_ && common->id > 0 && !LoadStored(table, path, common)) return false;
  const long long stored_mapper = common->mapper_id;
  if (!r.Int("library_id", 1, kIntMax, &common->library_id) ||
      !r.Int("mapper_id", 1, kIntMax, &common->mapper_id) || !r.String("title", &common->title) ||
      !r.String("sort_title", &common->sort_title) ||
      !r.String("original_available", &common->original_available) ||
      !r.String("summary", &common->summary) || !r.String("certificate", &common->certificate) ||
      !r.Number("rating", &common->rating) || !r.Time("create_time", &common->create_time)) {
    return false;
  }
  if (common->stored && common->mapper_id != stored_mapper) {
    return Fail(path + ".mapper_id",
                "the stored video has mapper id " + std::to_string(stored_mapper));
  }
  if (Member(value, "sort_title") == nullptr && !common->stored) common->sort_title = common->title;
  return true;
}

bool Importer::InsertMapper(int type, const char* table, const VideoCommon& c, long long library_id,
                            const std::string& path, long long* video_id, long long* mapper_id) {
  // A row without an id gets the one SQLite would give it. The mapper row
  // goes in first, so the video row follows with its mapper id under an
  // immediate foreign key check: no update after it, and no deferred check,
  // which would look every new mapper row up in each table that names one.
  long long id = c.id;
  if (id <= 0) {
    Statement next = conn_->Prepare(
        type == VIDEO_TYPE_MOVIE            ? "SELECT IFNULL(MAX(id), 0) + 1 FROM movie"
        : type == VIDEO_TYPE_TVSHOW         ? "SELECT IFNULL(MAX(id), 0) + 1 FROM tvshow"
        : type == VIDEO_TYPE_TVSHOW_EPISODE ? "SELECT IFNULL(MAX(id), 0) + 1 FROM tvshow_episode"
                                            : "SELECT IFNULL(MAX(id), 0) + 1 FROM home_video");
    if (!next.Step()) return FailDb(path);
    id = next.ColumnInt64(0);
  }
  if (c.mapper_id <= 0 && largest_mapper_id_) {
    const long long largest = largest_mapper_id_();
    largest_mapper_id_ = nullptr;
    if (largest < 0) return Fail(path, "cannot read the document");
    ReserveMapperIds(largest);
  }
  const long long mapper = c.mapper_id > 0 ? c.mapper_id : next_mapper_;
  Statement& stmt = Kept(kInsertMapper,
                         "INSERT INTO mapper (id, type, video_id, library_id, create_time) "
                         "VALUES (?1, ?2, ?3, ?4, ?5)");
  stmt.Bind(1, mapper).Bind(2, type).Bind(3, id).Bind(4, library_id).Bind(5, c.create_time);
  if (!stmt.Run()) {
    const std::string message = sqlite3_errmsg(conn_->handle());
    if (c.id > 0) {
      // A taken video id fails here, on the mapper's (type, video_id): it is
      // named as the clash of the video's own id.
      Statement taken =
          conn_->Prepare((std::string("SELECT 1 FROM ") + table + " WHERE id = ?1").c_str());
      taken.Bind(1, c.id);
      if (taken.Step())
        return Fail(path + ".id", std::string("UNIQUE constraint failed: ") + table + ".id");
    }
    return Fail(c.mapper_id > 0 ? path + ".mapper_id" : path, message);
  }
  if (mapper >= next_mapper_) next_mapper_ = mapper + 1;
  *video_id = id;
  *mapper_id = mapper;
  return true;
}

Statement& Importer::Kept(KeptStatement which, const char* sql) {
  Statement& stmt = kept_[which];
  if (stmt.ok()) {
    stmt.Rewind();
  } else {
    stmt = conn_->Prepare(sql);
  }
  return stmt;
}

bool Importer::NameId(NameKind kind, std::string_view name, long long* id) {
  static const char* const kInsert[] = {"INSERT OR IGNORE INTO person (name) VALUES (?1)",
                                        "INSERT OR IGNORE INTO genre (name) VALUES (?1)",
                                        "INSERT OR IGNORE INTO tag (name) VALUES (?1)"};
  static const KeptStatement kKept[] = {kInsertPerson, kInsertGenreName, kInsertTagName};
  static const char* const kSelect[] = {"SELECT id FROM person WHERE name = ?1",
                                        "SELECT id FROM genre WHERE name = ?1",
                                        "SELECT id FROM tag WHERE name = ?1"};
  NameIds& cache = name_ids_[kind];
  if (const long long* known = cache.Find(name)) {
    *id = *known;
    return true;
  }
  // Inserted unless stored already: a new name (most of them in a large
  // import) costs one look into the name index, not two.
  Statement& add = Kept(kKept[kind], kInsert[kind]);
  add.BindView(1, name);
  if (!add.Run()) return false;
  if (conn_->Changes() > 0) {
    *id = conn_->LastInsertRowId();
  } else {
    Statement find = conn_->Prepare(kSelect[kind]);
    find.BindView(1, name);
    if (!find.Step()) return false;
    *id = find.ColumnInt64(0);
  }
  cache.Insert(name, *id);
  return true;
}

bool Importer::AddNames(const Json::Value& value, const std::string& path, const char* key,
                        long long mapper_id, NameKind kind, int role, bool replace) {
  const Json::Value* names = Member(value, key);
  if (names == nullptr) return true;
  if (!names->isArray()) return Fail(path + "." + key, "expected an array of strings");
  // Walked once with an iterator: jsoncpp keeps an array in a tree, where
  // each [i] and size() is a search.
  std::vector<std::string_view>& listed = listed_names_;
  listed.clear();
  for (const Json::Value& name : *names) {
    if (!name.isString()) {
      return Fail(Index(path + "." + key, static_cast<Json::ArrayIndex>(listed.size())),
                  "expected a string");
    }
    const char* begin = nullptr;
    const char* end = nullptr;
    name.getString(&begin, &end);
    listed.emplace_back(begin, static_cast<size_t>(end - begin));
    name_ids_[kind].Prefetch(listed.back());
  }
  if (replace) {
    Statement clear = conn_->Prepare(
        role > 0              ? "DELETE FROM credit WHERE mapper_id = ?1 AND role = ?2"
        : kind == kGenreNames ? "DELETE FROM video_genre WHERE mapper_id = ?1 AND ?2 = 0"
                              : "DELETE FROM video_tag WHERE mapper_id = ?1 AND ?2 = 0");
    clear.Bind(1, mapper_id).Bind(2, role);
    if (!clear.Run()) return FailDb(path + "." + key);
  }
  // A name listed twice counts once; lists are short, so a look back.
  std::vector<std::string_view>& seen = seen_names_;
  std::set<std::string_view> seen_long;
  seen.clear();
  int position = 0;
  for (Json::ArrayIndex i = 0; i < listed.size(); ++i) {
    const std::string_view name = listed[i];
    if (listed.size() <= 16 ? std::find(seen.begin(), seen.end(), name) != seen.end()
                            : !seen_long.insert(name).second) {
      continue;
    }
    seen.push_back(name);
    long long name_id = 0;
    if (!NameId(kind, name, &name_id)) return FailDb(Index(path + "." + key, i));
    Statement& stmt =
        role > 0 ? Kept(kInsertCredit,
                        "INSERT INTO credit (mapper_id, role, position, person_id) "
                        "VALUES (?1, ?2, ?3, ?4)")
        : kind == kGenreNames
            ? Kept(kInsertGenre,
                   "INSERT INTO video_genre (mapper_id, position, genre_id) VALUES (?1, ?2, ?3)")
            : Kept(kInsertTag,
                   "INSERT INTO video_tag (mapper_id, position, tag_id) VALUES (?1, ?2, ?3)");
    if (role > 0) {
      stmt.Bind(1, mapper_id).Bind(2, role).Bind(3, position).Bind(4, name_id);
    } else {
      stmt.Bind(1, mapper_id).Bind(2, position).Bind(3, name_id);
    }
    if (!stmt.Run()) return FailDb(Index(path + "." + key, i));
    ++position;
  }
  return true;
}

bool Importer::AddFiles(const Json::Value& value, const std::string& path, long long mapper_id,
                        bool replace) {
  const Json::Value* listed_files = Member(value, "files");
  if (listed_files == nullptr) return true;
  const Json::Value& files = *listed_files;
  if (!files.isArray()) return Fail(path + ".files", "expected an array of files");
  if (replace) {
    // The stored files the list names by id are updated in place (their
    // scanned facts and conversion tasks stay); the others go.
    std::set<long long> listed;
    for (const Json::Value& file : files) {
      if (file.isObject() && file["id"].isInt64()) listed.insert(file["id"].asInt64());
    }
    std::vector<long long> gone;
    Statement stored = conn_->Prepare("SELECT id FROM video_file WHERE mapper_id = ?1");
    stored.Bind(1, mapper_id);
    while (stored.Step()) {
      if (listed.count(stored.ColumnInt64(0)) == 0) gone.push_back(stored.ColumnInt64(0));
    }
    if (stored.failed()) return FailDb(path + ".files");
    for (long long id : gone) {
      Statement drop = conn_->Prepare("DELETE FROM video_file WHERE id = ?1");
      drop.Bind(1, id);
      if (!drop.Run()) return FailDb(path + ".files");
    }
  }
  Json::ArrayIndex i = 0;
  for (auto it = files.begin(); it != files.end(); ++it, ++i) {
    const Json::Value& file = *it;
    Reader r(file, path, &error_, "files", i);
    if (!file.isObject()) return Fail(r.Path(), "expected an object");
    long long id = 0, size = 0;
    double duration = 0;
    std::string file_path;
    if (!r.Int("id", 1, kIntMax, &id) || !r.String("path", &file_path) ||
        !r.Int("size", 0, std::numeric_limits<long long>::max(), &size) ||
        !r.Number("duration", &duration)) {
      return false;
    }
    if (file_path.empty() || file_path[0] != '/') {
      return Fail(r.Path() + ".path", "expected an absolute path");
    }
    if (replace && id > 0) {
      Statement update = conn_->Prepare(
          "UPDATE video_file SET path = ?3, size = ?4, duration = ?5 "
          "WHERE id = ?1 AND mapper_id = ?2");
      update.Bind(1, id).Bind(2, mapper_id).Bind(3, file_path).Bind(4, size).Bind(5, duration);
      if (!update.Run()) return FailDb(r.Path());
      if (conn_->Changes() > 0) {
        ++counts_.files;
        continue;
      }
    }
    Statement& stmt = Kept(
        kInsertFile,
        "INSERT INTO video_file (id, mapper_id, path, size, duration) VALUES (?1, ?2, ?3, ?4, ?5)");
    if (id > 0) {
      stmt.Bind(1, id);
    } else {
      stmt.BindNull(1);
    }
    stmt.Bind(2, mapper_id).BindView(3, file_path).Bind(4, size).Bind(5, duration);
    if (!stmt.Run()) return FailDb(id > 0 ? r.Path() + ".id" : r.Path());
    ++counts_.files;
  }
  return true;
}

bool Importer::StoreImage(const std::string& image_path, const std::string& path,
                          long long mapper_id, bool poster) {
  std::string full = image_path;
  if (full.empty()) return Fail(path, "expected a file name");
  if (full[0] != '/') full = base_dir_ + "/" + full;
  std::string bytes;
  if (!ReadWholeFile(full, kMaxImportImage, &bytes)) {
    return Fail(path, "cannot read image " + full);
  }
  StoredImage stored;
  bool created = false;
  if (!images_.Prepare(bytes, &stored, &created)) return Fail(path, "cannot store image " + full);
  if (created) created_files_.push_back(stored.file);
  Statement stmt = conn_->Prepare(
      poster ? "INSERT OR REPLACE INTO poster (mapper_id, image, file, md5, size, mtime) "
               "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"
             : "INSERT INTO backdrop (mapper_id, image, file, md5, size, mtime) "
               "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  stmt.Bind(1, mapper_id);
  if (stored.file.empty()) {
    stmt.BindBlob(2, stored.blob.data(), stored.blob.size()).BindNull(3);
  } else {
    stmt.BindNull(2).Bind(3, stored.file);
  }
  stmt.BindBlob(4, stored.md5.data(), stored.md5.size()).Bind(5, stored.size).Bind(6, now_);
  if (!stmt.Run()) return FailDb(path);
  ++counts_.images;
  return true;
}

bool Importer::AddImages(const Json::Value& value, const std::string& path, long long mapper_id) {
  Reader r(value, path, &error_);
  std::string poster;
  if (!r.String("poster", &poster)) return false;
  if (Member(value, "poster") != nullptr &&
      !StoreImage(poster, path + ".poster", mapper_id, true)) {
    return false;
  }
  std::vector<std::string> backdrops;
  if (!r.StringArray("backdrops", &backdrops)) return false;
  for (size_t i = 0; i < backdrops.size(); ++i) {
    if (!StoreImage(backdrops[i], Index(path + ".backdrops", static_cast<Json::ArrayIndex>(i)),
                    mapper_id, false)) {
      return false;
    }
  }
  return true;
}

bool Importer::AddVideoParts(const Json::Value& value, const std::string& path, long long mapper_id,
                             bool replace) {
  if (replace && Member(value, "backdrops") != nullptr) {
    Statement clear = conn_->Prepare("DELETE FROM backdrop WHERE mapper_id = ?1");
    clear.Bind(1, mapper_id);
    if (!clear.Run()) return FailDb(path + ".backdrops");
  }
  if (replace && Member(value, "collection") != nullptr) {
    Statement clear = conn_->Prepare("DELETE FROM collection_map WHERE mapper_id = ?1");
    clear.Bind(1, mapper_id);
    if (!clear.Run()) return FailDb(path + ".collection");
  }
  if (!AddNames(value, path, "actors", mapper_id, kPersonNames, kRoleActor, replace) ||
      !AddNames(value, path, "directors", mapper_id, kPersonNames, kRoleDirector, replace) ||
      !AddNames(value, path, "writers", mapper_id, kPersonNames, kRoleWriter, replace) ||
      !AddNames(value, path, "genres", mapper_id, kGenreNames, 0, replace) ||
      !AddNames(value, path, "tags", mapper_id, kTagNames, 0, replace) ||
      !AddFiles(value, path, mapper_id, replace) || !AddImages(value, path, mapper_id)) {
    return false;
  }
  Reader r(value, path, &error_);
  std::vector<std::string> from_name;
  if (!r.StringArray("from_name", &from_name)) return false;
  if (!from_name.empty() || (replace && Member(value, "from_name") != nullptr)) {
    std::string joined;
    for (size_t i = 0; i < from_name.size(); ++i) {
      if (kFromNameMembers.count(from_name[i]) == 0) {
        return Fail(Index(path + ".from_name", static_cast<Json::ArrayIndex>(i)),
                    "expected the name of a metadata member");
      }
      joined += (joined.empty() ? "" : ",") + from_name[i];
    }
    Statement mark = conn_->Prepare("UPDATE mapper SET from_name = ?2 WHERE id = ?1");
    mark.Bind(1, mapper_id).Bind(2, joined);
    if (!mark.Run()) return FailDb(path + ".from_name");
  }
  std::string collection;
  if (!r.String("collection", &collection)) return false;
  if (!collection.empty()) {
    Statement add = conn_->Prepare("INSERT OR IGNORE INTO collection (title) VALUES (?1)");
    add.Bind(1, collection);
    if (!add.Run()) return FailDb(path + ".collection");
    Statement link = conn_->Prepare(
        "INSERT OR IGNORE INTO collection_map (mapper_id, collection_id) "
        "SELECT ?1, id FROM collection WHERE title = ?2");
    link.Bind(1, mapper_id).Bind(2, collection);
    if (!link.Run()) return FailDb(path + ".collection");
  }
  // Per-user playback positions, {"uid": seconds}; the format's own
  // extension for watched ratios.
  if (const Json::Value* watched_member = Member(value, "watched")) {
    const Json::Value& watched = *watched_member;
    if (!watched.isObject()) return Fail(path + ".watched", "expected an object");
    for (const std::string& key : watched.getMemberNames()) {
      std::string item = path + ".watched." + key;
      char* end = nullptr;
      unsigned long long user = strtoull(key.c_str(), &end, 10);
      if (key.empty() || *end != '\0' || user > 0xffffffffULL) {
        return Fail(item, "expected a user id as key");
      }
      if (!watched[key].isNumeric()) return Fail(item, "expected a number");
      Statement stmt = conn_->Prepare(
          "INSERT OR REPLACE INTO watch_status (uid, mapper_id, position) VALUES (?1, ?2, ?3)");
      stmt.Bind(1, static_cast<long long>(user))
          .Bind(2, mapper_id)
          .Bind(3, watched[key].asDouble());
      if (!stmt.Run()) return FailDb(item);
    }
  }
  return true;
}

bool Importer::AddMovie(const Json::Value& value, const std::string& path) {
  const RecordMembers members(value);
  VideoCommon c;
  if (!ReadCommon(value, path, "movie", &c)) return false;
  Reader r(value, path, &error_);
  long long tmdb_id = -1;
  std::string imdb_id, tagline;
  if (c.stored) {
    Statement stored = conn_->Prepare("SELECT tmdb_id, imdb_id, tagline FROM movie WHERE id = ?1");
    stored.Bind(1, c.id);
    if (!stored.Step()) return FailDb(path);
    tmdb_id = stored.ColumnInt64(0);
    imdb_id = stored.ColumnText(1);
    tagline = stored.ColumnText(2);
  }
  if (!r.Int("tmdb_id", std::numeric_limits<long long>::min(),
             std::numeric_limits<long long>::max(), &tmdb_id) ||
      !r.String("imdb_id", &imdb_id) || !r.String("tagline", &tagline)) {
    return false;
  }
  if (c.library_id <= 0) return Fail(path + ".library_id", "missing");
  if (!LibraryExists(c.library_id, path)) return false;
  if (c.stored) {
    Statement extra =
        conn_->Prepare("UPDATE movie SET tmdb_id = ?2, imdb_id = ?3, tagline = ?4 WHERE id = ?1");
    extra.Bind(1, c.id).Bind(2, tmdb_id).Bind(3, imdb_id).Bind(4, tagline);
    if (!UpdateStored("movie", c, path)) return false;
    if (!extra.Run()) return FailDb(path);
    if (!AddVideoParts(value, path, c.mapper_id, true)) return false;
    ++counts_.movies;
    Tick();
    return true;
  }

  long long id = 0, mapper_id = 0;
  if (!InsertMapper(VIDEO_TYPE_MOVIE, "movie", c, c.library_id, path, &id, &mapper_id)) {
    return false;
  }
  Statement& stmt =
      Kept(kInsertMovie,
           "INSERT INTO movie (id, mapper_id, library_id, title, sort_title, original_available, "
           "tmdb_id, imdb_id, rating, summary, tagline, certificate, create_time) "
           "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
  stmt.Bind(1, id)
      .Bind(2, mapper_id)
      .Bind(3, c.library_id)
      .BindView(4, c.title)
      .BindView(5, c.sort_title)
      .BindView(6, c.original_available)
      .Bind(7, tmdb_id)
      .BindView(8, imdb_id)
      .Bind(9, c.rating)
      .BindView(10, c.summary)
      .BindView(11, tagline)
      .BindView(12, c.certificate)
      .Bind(13, c.create_time);
  if (!stmt.Run()) return FailDb(c.id > 0 ? path + ".id" : path);
  if (!AddVideoParts(value, path, mapper_id, false)) return false;
  ++counts_.movies;
  Tick();
  return true;
}

bool Importer::AddEpisode(const Json::Value& value, const std::string& path, long long tvshow_id,
                          long long library_id) {
  const RecordMembers members(value);
  VideoCommon c;
  if (!ReadCommon(value, path, "tvshow_episode", &c)) return false;
  Reader r(value, path, &error_);
  long long season = 0, episode = 0;
  if (c.stored) {
    Statement stored = conn_->Prepare("SELECT season, episode FROM tvshow_episode WHERE id = ?1");
    stored.Bind(1, c.id);
    if (!stored.Step()) return FailDb(path);
    season = stored.ColumnInt64(0);
    episode = stored.ColumnInt64(1);
  }
  if (!r.Int("season", 0, kIntMax, &season) || !r.Int("episode", 0, kIntMax, &episode)) {
    return false;
  }
  if (c.stored) {
    c.library_id = library_id;  // an episode lives in its show's library
    Statement extra = conn_->Prepare(
        "UPDATE tvshow_episode SET tvshow_id = ?2, season = ?3, episode = ?4 WHERE id = ?1");
    extra.Bind(1, c.id).Bind(2, tvshow_id).Bind(3, season).Bind(4, episode);
    if (!UpdateStored("tvshow_episode", c, path)) return false;
    if (!extra.Run()) return FailDb(path);
    if (!AddVideoParts(value, path, c.mapper_id, true)) return false;
    ++counts_.episodes;
    Tick();
    return true;
  }
  long long id = 0, mapper_id = 0;
  if (!InsertMapper(VIDEO_TYPE_TVSHOW_EPISODE, "tvshow_episode", c, library_id, path, &id,
                    &mapper_id)) {
    return false;
  }
  Statement stmt = conn_->Prepare(
      "INSERT INTO tvshow_episode (id, mapper_id, tvshow_id, library_id, season, episode, title, "
      "sort_title, original_available, rating, summary, certificate, create_time) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
  stmt.Bind(1, id)
      .Bind(2, mapper_id)
      .Bind(3, tvshow_id)
      .Bind(4, library_id)
      .Bind(5, season)
      .Bind(6, episode)
      .Bind(7, c.title)
      .Bind(8, c.sort_title)
      .Bind(9, c.original_available)
      .Bind(10, c.rating)
      .Bind(11, c.summary)
      .Bind(12, c.certificate)
      .Bind(13, c.create_time);
  if (!stmt.Run()) return FailDb(c.id > 0 ? path + ".id" : path);
  if (!AddVideoParts(value, path, mapper_id, false)) return false;
  ++counts_.episodes;
  Tick();
  return true;
}

bool Importer::AddTVShow(const Json::Value& value, const std::string& path) {
  const RecordMembers members(value);
  VideoCommon c;
  if (!ReadCommon(value, path, "tvshow", &c)) return false;
  if (c.library_id <= 0) return Fail(path + ".library_id", "missing");
  if (!LibraryExists(c.library_id, path)) return false;
  if (c.stored) {
    if (!UpdateStored("tvshow", c, path)) return false;
    // Its stored episodes follow the show to another library.
    Statement episodes =
        conn_->Prepare("UPDATE tvshow_episode SET library_id = ?2 WHERE tvshow_id = ?1");
    episodes.Bind(1, c.id).Bind(2, c.library_id);
    Statement mappers = conn_->Prepare(
        "UPDATE mapper SET library_id = ?2 "
        "WHERE id IN (SELECT mapper_id FROM tvshow_episode WHERE tvshow_id = ?1)");
    mappers.Bind(1, c.id).Bind(2, c.library_id);
    if (!episodes.Run() || !mappers.Run()) return FailDb(path);
    if (!AddVideoParts(value, path, c.mapper_id, true)) return false;
    ++counts_.tvshows;
    Tick();
    return AddEpisodes(value, path, c.id, c.library_id);
  }
  long long id = 0, mapper_id = 0;
  if (!InsertMapper(VIDEO_TYPE_TVSHOW, "tvshow", c, c.library_id, path, &id, &mapper_id) ||
      !InsertCommonRow("tvshow", c, id, mapper_id, path)) {
    return false;
  }
  if (!AddVideoParts(value, path, mapper_id, false)) return false;
  ++counts_.tvshows;
  Tick();
  return AddEpisodes(value, path, id, c.library_id);
}

bool Importer::AddEpisodes(const Json::Value& value, const std::string& path, long long tvshow_id,
                           long long library_id) {
  if (!value.isMember("episodes")) return true;
  const Json::Value& episodes = value["episodes"];
  if (!episodes.isArray()) return Fail(path + ".episodes", "expected an array");
  for (Json::ArrayIndex i = 0; i < episodes.size(); ++i) {
    if (!AddEpisode(episodes[i], Index(path + ".episodes", i), tvshow_id, library_id)) return false;
  }
  return true;
}

bool Importer::AddHomeVideo(const Json::Value& value, const std::string& path) {
  const RecordMembers members(value);
  VideoCommon c;
  if (!ReadCommon(value, path, "home_video", &c)) return false;
  if (c.library_id <= 0) return Fail(path + ".library_id", "missing");
  if (!LibraryExists(c.library_id, path)) return false;
  if (c.stored) {
    if (!UpdateStored("home_video", c, path)) return false;
    if (!AddVideoParts(value, path, c.mapper_id, true)) return false;
    ++counts_.videos;
    Tick();
    return true;
  }
  long long id = 0, mapper_id = 0;
  if (!InsertMapper(VIDEO_TYPE_HOME_VIDEO, "home_video", c, c.library_id, path, &id, &mapper_id) ||
      !InsertCommonRow("home_video", c, id, mapper_id, path)) {
    return false;
  }
  if (!AddVideoParts(value, path, mapper_id, false)) return false;
  ++counts_.videos;
  Tick();
  return true;
}

bool Importer::AddConversionTask(const Json::Value& value, const std::string& path) {
  if (!value.isObject()) return Fail(path, "expected an object");
  Reader r(value, path, &error_);
  long long id = 0, uid = 0, file_id = 0, audio_id = 0, time_left = 0, error = 0;
  long long create_time = now_;
  std::string profile = "original", state_text = "waiting";
  double progress = 0;
  if (!r.Int("id", 1, kIntMax, &id) || !r.Int("uid", 0, 0xffffffffLL, &uid) ||
      !r.Int("file_id", 1, kIntMax, &file_id) || !r.String("video_profile", &profile) ||
      !r.Int("audio_id", 0, kIntMax, &audio_id) || !r.String("state", &state_text) ||
      !r.Number("progress", &progress) || !r.Int("time_left", 0, kIntMax, &time_left) ||
      !r.Int("error", 0, kIntMax, &error) || !r.Time("create_time", &create_time)) {
    return false;
  }
  int state = StateFromText(state_text);
  if (state < 0) {
    return Fail(path + ".state",
                "expected \"waiting\", \"converting\", \"done\", \"error\" or \"stopped\"");
  }
  if (file_id <= 0) return Fail(path + ".file_id", "missing");
  Statement file = conn_->Prepare("SELECT 1 FROM video_file WHERE id = ?1");
  file.Bind(1, file_id);
  if (!file.Step()) {
    if (file.failed()) return FailDb(path);
    return Fail(path + ".file_id", "no file " + std::to_string(file_id));
  }

  long long produced_id = 0;
  if (value.isMember("produced_file")) {
    const Json::Value& produced = value["produced_file"];
    std::string item = path + ".produced_file";
    if (!produced.isObject()) return Fail(item, "expected an object");
    Reader pr(produced, item, &error_);
    std::string produced_path;
    long long size = 0;
    double duration = 0;
    if (!pr.String("path", &produced_path) ||
        !pr.Int("size", 0, std::numeric_limits<long long>::max(), &size) ||
        !pr.Number("duration", &duration)) {
      return false;
    }
    if (produced_path.empty()) return Fail(item + ".path", "missing");
    Statement add =
        conn_->Prepare("INSERT INTO produced_file (path, size, duration) VALUES (?1, ?2, ?3)");
    add.Bind(1, produced_path).Bind(2, size).Bind(3, duration);
    if (!add.Run()) return FailDb(item);
    produced_id = conn_->LastInsertRowId();
  }

  Statement stmt = conn_->Prepare(
      "INSERT INTO conversion_task (id, uid, file_id, video_profile, audio_id, state, progress, "
      "time_left, error, produced_file_id, create_time) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  if (id > 0) {
    stmt.Bind(1, id);
  } else {
    stmt.BindNull(1);
  }
  stmt.Bind(2, uid)
      .Bind(3, file_id)
      .Bind(4, profile)
      .Bind(5, audio_id)
      .Bind(6, state)
      .Bind(7, progress)
      .Bind(8, time_left)
      .Bind(9, error);
  if (produced_id > 0) {
    stmt.Bind(10, produced_id);
  } else {
    stmt.BindNull(10);
  }
  stmt.Bind(11, create_time);
  if (!stmt.Run()) return FailDb(id > 0 ? path + ".id" : path);
  ++counts_.conversion_tasks;
  Tick();
  return true;
}

bool Importer::AddDocument(const Json::Value& doc) {
  if (!doc.isObject()) return Fail("document", "expected an object");
  // Explicit mapper ids are reserved first, so that ids assigned to records
  // without one never collide with a later record's explicit id.
  for (const char* kind : {"movies", "tvshows", "videos"}) {
    const Json::Value& list = doc[kind];
    if (!list.isArray()) continue;
    for (const Json::Value& video : list) {
      if (video.isObject() && video["mapper_id"].isInt64() &&
          video["mapper_id"].asInt64() >= next_mapper_) {
        next_mapper_ = video["mapper_id"].asInt64() + 1;
      }
      const Json::Value& episodes = video.isObject() ? video["episodes"] : Json::Value::null;
      if (!episodes.isArray()) continue;
      for (const Json::Value& episode : episodes) {
        if (episode.isObject() && episode["mapper_id"].isInt64() &&
            episode["mapper_id"].asInt64() >= next_mapper_) {
          next_mapper_ = episode["mapper_id"].asInt64() + 1;
        }
      }
    }
  }

  for (const Section* section = kSections; section->key != nullptr; ++section) {
    if (!doc.isMember(section->key)) continue;
    const Json::Value& list = doc[section->key];
    if (!list.isArray()) return Fail(section->key, "expected an array");
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
      if (!(this->*section->add)(list[i], Index(section->key, i))) return false;
    }
  }
  return true;
}

namespace {

// Where each byte of JSON text falls, fed the bytes in order: outside any
// string, or a string's opening quote, inside it (escapes included), or its
// closing quote.
class StringTracker {
 public:
  enum Byte { kOutside, kOpening, kInside, kClosing };
  Byte Feed(char c) {
    if (!in_string_) {
      if (c != '"') return kOutside;
      in_string_ = true;
      return kOpening;
    }
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      in_string_ = false;
      return kClosing;
    }
    return kInside;
  }

 private:
  bool in_string_ = false;
  bool escaped_ = false;
};

// Reads an import document from a file a piece at a time: the top-level
// object's members one by one, and each element of the record arrays on its
// own, parsed with jsoncpp. Memory stays bounded by the largest element, not
// the document; jsoncpp still judges every piece of text.
class DocumentStream {
 public:
  // `offset`: where the file's position is, for the offsets in messages.
  explicit DocumentStream(FILE* file, long long offset = 0)
      : file_(file), buffer_(1 << 20), consumed_(offset) {}

  int Peek() {
    if (pos_ == end_ && !Fill()) return EOF;
    return static_cast<unsigned char>(buffer_[pos_]);
  }
  int Get() {
    const int c = Peek();
    if (c != EOF) ++pos_;
    return c;
  }
  void SkipSpace() {
    for (int c = Peek(); c == ' ' || c == '\t' || c == '\n' || c == '\r'; c = Peek()) ++pos_;
  }
  long long offset() const { return consumed_ + static_cast<long long>(pos_); }

  // Appends the text of one JSON value to `out` (or skips it when null): a
  // string with its escapes, an object or array to its matching close, or
  // a scalar up to the next delimiter. False when the file ends first.
  bool CaptureValue(std::string* out) {
    int c = Peek();
    if (c == '"') return CaptureString(out);
    if ((c == '{' || c == '[') && out == nullptr) return SkipNested();
    if (c == '{' || c == '[') {
      int depth = 0;
      do {
        c = Peek();
        if (c == EOF) return false;
        if (c == '"') {
          if (!CaptureString(out)) return false;
          continue;
        }
        Get();
        if (out != nullptr) out->push_back(static_cast<char>(c));
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') --depth;
      } while (depth > 0);
      return true;
    }
    bool any = false;
    while ((c = Peek()) != EOF && c != ',' && c != ']' && c != '}' && c != ' ' && c != '\t' &&
           c != '\n' && c != '\r') {
      Get();
      if (out != nullptr) out->push_back(static_cast<char>(c));
      any = true;
    }
    return any;
  }

  bool CaptureString(std::string* out) {
    Get();  // the opening quote
    if (out != nullptr) out->push_back('"');
    for (;;) {
      const int c = Get();
      if (c == EOF) return false;
      if (out != nullptr) out->push_back(static_cast<char>(c));
      if (c == '"') return true;
      if (c == '\\') {
        const int escaped = Get();
        if (escaped == EOF) return false;
        if (out != nullptr) out->push_back(static_cast<char>(escaped));
      }
    }
  }

 private:
  // Skips an object or array, a buffer at a time: the first pass goes over
  // the other sections (nearly all of a large document) this way.
  bool SkipNested() {
    int depth = 0;
    StringTracker strings;
    for (;;) {
      if (pos_ == end_ && !Fill()) return false;
      const char* p = buffer_.data() + pos_;
      const char* const end = buffer_.data() + end_;
      for (; p != end; ++p) {
        const char c = *p;
        if (strings.Feed(c) != StringTracker::kOutside) continue;
        if (c == '{' || c == '[') {
          ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
          pos_ = static_cast<size_t>(p + 1 - buffer_.data());
          return true;
        }
      }
      pos_ = end_;
    }
  }

  bool Fill() {
    consumed_ += static_cast<long long>(end_);
    pos_ = 0;
    end_ = fread(buffer_.data(), 1, buffer_.size(), file_);
    return end_ > 0;
  }

  FILE* file_;
  std::vector<char> buffer_;
  long long consumed_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// The largest integer given to a "mapper_id" key anywhere in the document
// (0 for none), found in one pass over the bytes without parsing: ids
// assigned to records without one start above it, so that they never
// collide with a later record's explicit id.
// Read with pread, so that it can run while another thread reads the same
// file through its stream. -1 when the file cannot be read.
long long LargestMapperId(int fd) {
  static const std::string kKey = "mapper_id";
  std::vector<char> buffer(1 << 20);
  long long largest = 0;
  StringTracker strings;
  bool key_closed = false, colon = false, digits = false;
  std::string text;  // the current string, up to the key's length + 1
  long long number = 0;
  off_t offset = 0;
  for (ssize_t n; (n = pread(fd, buffer.data(), buffer.size(), offset)) != 0; offset += n) {
    if (n < 0) {
      if (errno == EINTR) {
        n = 0;
        continue;
      }
      return -1;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      const StringTracker::Byte kind = strings.Feed(c);
      if (kind == StringTracker::kInside) {
        if (text.size() <= kKey.size()) text.push_back(c);
        continue;
      }
      if (kind == StringTracker::kClosing) {
        key_closed = text == kKey;
        continue;
      }
      if (digits) {
        if (c >= '0' && c <= '9' && number < (1LL << 40)) {
          number = number * 10 + (c - '0');
          continue;
        }
        largest = std::max(largest, number);
        digits = false;
      }
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
      if (key_closed && !colon && c == ':') {
        colon = true;
        continue;
      }
      if (colon && c >= '0' && c <= '9') {
        digits = true;
        number = c - '0';
      }
      key_closed = colon = false;
      if (kind == StringTracker::kOpening) text.clear();
    }
  }
  if (digits) largest = std::max(largest, number);
  return largest;
}

}  // namespace

const Importer::Section Importer::kSections[] = {
    {"libraries", &Importer::AddLibrary},
    {"movies", &Importer::AddMovie},
    {"tvshows", &Importer::AddTVShow},
    {"videos", &Importer::AddHomeVideo},
    {"conversion_tasks", &Importer::AddConversionTask},
    {nullptr, nullptr},
};

bool Importer::AddStream(FILE* file, std::string* parse_error) {
  // The sections go in in this order, so that libraries come before the
  // videos that name them wherever the document has them. The first pass
  // reads the whole document: it adds the libraries and notes where each
  // other section's array starts; each of those is then read from there.
  std::vector<SectionAt> found;
  if (fseek(file, 0, SEEK_SET) != 0) return Fail("document", "cannot read it again from the start");
  if (!StreamPass(file, kSections[0].key, kSections[0].add, -1, &found, parse_error)) return false;
  for (const Section* pass = kSections + 1; pass->key != nullptr; ++pass) {
    for (const SectionAt& at : found) {
      if (strcmp(at.key, pass->key) != 0) continue;
      if (fseek(file, at.offset, SEEK_SET) != 0) {
        return Fail(pass->key, "cannot read it again from where it starts");
      }
      if (!StreamPass(file, pass->key, pass->add, at.offset, nullptr, parse_error)) return false;
    }
  }
  return true;
}

namespace {

// One record of a section as read from the document, and its path.
struct Record {
  Json::Value value;
  std::string where;
  std::vector<MemberIndex::Entry> members;  // of an object, listed by the reader
};

// How a pass over the document's text ended.
struct PassEnd {
  bool ok = false;
  std::string parse_error;   // the text is not JSON
  std::string import_error;  // the document is JSON but not the format
};

// Reads a section's array from its opening '[' on, handing each element to
// `sink` in order (false from it ends the pass); false with `end` set when
// the text is not JSON or the sink stopped.
bool ReadArray(DocumentStream& in, const std::string& key, const std::function<bool(Record*)>& sink,
               PassEnd* end) {
  JsonParser parser;
  Record record;
  std::string text, why;
  auto syntax = [&](const std::string& message) {
    end->parse_error = "at byte " + std::to_string(in.offset()) + ": " + message;
    return false;
  };
  if (in.Get() != '[') return syntax(key + ": expected an array");
  in.SkipSpace();
  if (in.Peek() == ']') {
    in.Get();
    return true;
  }
  for (Json::ArrayIndex i = 0;; ++i) {
    record.where = Index(key, i);
    text.clear();
    if (!in.CaptureValue(&text)) return syntax(record.where + ": the document ends");
    if (!parser.Parse(text, &record.value, &why)) return syntax(record.where + ": " + why);
    if (!sink(&record)) return false;
    in.SkipSpace();
    const int c = in.Get();
    if (c == ']') return true;
    if (c != ',') return syntax(Index(key, i) + ": expected ',' or ']'");
    in.SkipSpace();
  }
}

// Reads the document's top-level object, handing each element of the
// `wanted` section's array to `sink` and noting in `found` where the other
// sections' arrays start. It also judges the members no pass reads as
// records.
PassEnd ReadPass(FILE* file, const char* wanted, const std::function<bool(Record*)>& sink,
                 std::vector<SectionAt>* found) {
  static const char* const kSectionKeys[] = {"libraries", "movies", "tvshows", "videos",
                                             "conversion_tasks"};
  PassEnd end;
  DocumentStream in(file);
  JsonParser parser;
  std::string text, why;
  Json::Value name;
  auto syntax = [&](const std::string& message) {
    end.parse_error = "at byte " + std::to_string(in.offset()) + ": " + message;
    return end;
  };
  auto parse = [&](const std::string& where, Json::Value* value) {
    if (parser.Parse(text, value, &why)) return true;
    syntax(where + ": " + why);
    return false;
  };
  in.SkipSpace();
  if (in.Get() != '{') {
    end.import_error = "document: expected an object";
    return end;
  }
  in.SkipSpace();
  if (in.Peek() == '}') {
    in.Get();
  } else {
    for (;;) {
      in.SkipSpace();
      text.clear();
      if (in.Peek() != '"' || !in.CaptureString(&text) || !parse("a member name", &name)) {
        return syntax("expected a member name");
      }
      const std::string key = name.asString();
      in.SkipSpace();
      if (in.Get() != ':') return syntax("expected ':' after \"" + key + "\"");
      in.SkipSpace();
      const char* section = nullptr;
      for (const char* section_key : kSectionKeys) {
        if (key == section_key) section = section_key;
      }
      if (key == wanted && in.Peek() == '[') {
        if (!ReadArray(in, key, sink, &end)) return end;
      } else if (section != nullptr && in.Peek() == '[') {
        // Another section's records: read in that section's own pass.
        found->push_back(SectionAt{section, in.offset()});
        if (!in.CaptureValue(nullptr)) return syntax(key + ": the document ends");
      } else {
        text.clear();
        Json::Value value;
        if (!in.CaptureValue(&text)) return syntax(key + ": the document ends");
        if (!parse(key, &value)) return end;
        if (section != nullptr) {
          end.import_error = key + ": expected an array";
          return end;
        }
      }
      in.SkipSpace();
      const int c = in.Get();
      if (c == '}') break;
      if (c != ',') return syntax("expected ',' or '}' after \"" + key + "\"");
    }
  }
  in.SkipSpace();
  if (in.Peek() != EOF) return syntax("text after the document");
  end.ok = true;
  return end;
}

// Records handed from the thread that reads and parses the document to the
// one that writes them, in batches, at most kMaxBatches waiting: reading
// and parsing (a third of an import's time) overlap the writes.
class RecordQueue {
 public:
  static constexpr size_t kBatch = 64;
  static constexpr size_t kMaxBatches = 4;

  // Producer side; false once the consumer stopped. The batches written
  // are freed here, by the thread that allocated them: freeing them in the
  // writer would take the malloc arena's lock the reader is using.
  bool Push(std::vector<Record>* batch) {
    std::vector<std::vector<Record>> spent;
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return stopped_ || batches_.size() < kMaxBatches; });
    if (stopped_) return false;
    batches_.push_back(std::move(*batch));
    batch->clear();
    spent.swap(spent_);
    changed_.notify_all();
    lock.unlock();
    return true;
  }
  void Finish(PassEnd end) {
    std::lock_guard<std::mutex> lock(mu_);
    end_ = std::move(end);
    finished_ = true;
    changed_.notify_all();
  }

  // Consumer side; false when the producer finished and all was taken.
  bool Pop(std::vector<Record>* batch) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return finished_ || !batches_.empty(); });
    if (batches_.empty()) return false;
    if (!batch->empty()) spent_.push_back(std::move(*batch));
    *batch = std::move(batches_.front());
    batches_.pop_front();
    changed_.notify_all();
    return true;
  }
  void Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    changed_.notify_all();
  }
  // After the producer's thread ended.
  PassEnd& end() { return end_; }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::vector<Record>> batches_;
  std::vector<std::vector<Record>> spent_;
  bool finished_ = false;
  bool stopped_ = false;
  PassEnd end_;
};

// The first pass (offset -1) reads the whole document from its start and
// fills `found`; the others read one array from `offset`, checked already.
PassEnd ReadSection(FILE* file, const char* wanted, long long offset,
                    const std::function<bool(Record*)>& sink, std::vector<SectionAt>* found) {
  if (offset < 0) return ReadPass(file, wanted, sink, found);
  PassEnd end;
  DocumentStream in(file, offset);
  end.ok = ReadArray(in, wanted, sink, &end);
  return end;
}

}  // namespace

bool Importer::StreamPass(FILE* file, const char* wanted, AddFn add, long long offset,
                          std::vector<SectionAt>* found, std::string* parse_error) {
  RecordQueue queue;
  std::thread reader;
  try {
    reader = std::thread([&queue, file, wanted, offset, found] {
      std::vector<Record> batch;
      PassEnd end = ReadSection(
          file, wanted, offset,
          [&queue, &batch](Record* record) {
            if (record->value.isObject()) MemberIndex::List(record->value, &record->members);
            batch.push_back(std::move(*record));
            return batch.size() < RecordQueue::kBatch || queue.Push(&batch);
          },
          found);
      // Records read before a fault go in first, so their own faults win.
      if (!batch.empty()) queue.Push(&batch);
      queue.Finish(std::move(end));
    });
  } catch (const std::exception&) {
    // No thread to be had: the records are written as they are read.
    PassEnd end = ReadSection(
        file, wanted, offset,
        [this, add](Record* record) { return (this->*add)(record->value, record->where); }, found);
    if (!end.parse_error.empty()) *parse_error = end.parse_error;
    if (!end.import_error.empty()) error_ = end.import_error;
    return end.ok;
  }
  bool ok = true;
  for (std::vector<Record> batch; ok && queue.Pop(&batch);) {
    for (Record& record : batch) {
      if (record.value.isObject()) record_members.Adopt(record.value, &record.members);
      const bool added = (this->*add)(record.value, record.where);
      record_members.Clear();  // the record's text goes back to the reader
      if (!added) {
        ok = false;
        queue.Stop();
        break;
      }
    }
  }
  reader.join();
  if (!ok) return false;
  PassEnd& end = queue.end();
  if (!end.parse_error.empty()) *parse_error = end.parse_error;
  if (!end.import_error.empty()) error_ = end.import_error;
  return end.ok;
}

bool ImportFile(Connection* conn, const std::string& file, bool show_progress, ImportCounts* counts,
                std::string* error, bool merge) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(fopen(file.c_str(), "rbe"), fclose);
  if (!in) {
    *error = file + ": cannot open";
    return false;
  }
  std::string base_dir = DatabaseDir(file);
  Importer importer(conn, base_dir);
  importer.SetMerge(merge);
  if (show_progress) {
    importer.SetProgress(
        [](long long records) { fprintf(stderr, "import: %lld records\n", records); }, 10000);
  }
  if (!importer.Begin()) {
    *error = importer.error();
    return false;
  }
  // The document is read more than once (libraries first, then each
  // section from where it starts): a pipe will not do.
  struct stat st;
  if (fstat(fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = file + ": not a regular file (import reads it more than once)";
    return false;
  }
  const int fd = fileno(in.get());
  importer.ReserveMapperIdsLater([fd] { return LargestMapperId(fd); });
  std::string parse_error;
  if (!importer.AddStream(in.get(), &parse_error)) {
    *error =
        parse_error.empty() ? importer.error() : file + ": not a JSON document: " + parse_error;
    return false;
  }
  if (ferror(in.get())) {
    *error = file + ": cannot read";
    return false;
  }
  if (!importer.Commit()) {
    *error = importer.error();
    return false;
  }
  conn->CheckpointTruncate();
  if (counts) *counts = importer.counts();
  return true;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
