#include "platform/videodb/sidecar_reader.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <set>
#include <utility>

#include "libkinoro/records.h"
#include "libkinoro/util.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/image_check.h"
#include "platform/videodb/json_reader.h"
#include "platform/videodb/safe_open.h"
#include "platform/videodb/schema.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// As large as an image the import takes.
constexpr size_t kMaxBackdropBytes = 20 * 1024 * 1024;

enum class Kind { kText, kNumber, kInteger, kTextList };

// The members a sidecar can set, with their kind. The video's own columns
// come first; a member whose column the video's table lacks (a movie's
// tagline on an episode) is ignored.
struct Member {
  const char* key;
  Kind kind;
};
constexpr Member kMembers[] = {
    {"title", Kind::kText},       {"sort_title", Kind::kText}, {"original_available", Kind::kText},
    {"summary", Kind::kText},     {"tagline", Kind::kText},    {"certificate", Kind::kText},
    {"rating", Kind::kNumber},    {"tmdb_id", Kind::kInteger}, {"imdb_id", Kind::kText},
    {"season", Kind::kInteger},   {"episode", Kind::kInteger}, {"collection", Kind::kText},
    {"genres", Kind::kTextList},  {"actors", Kind::kTextList}, {"directors", Kind::kTextList},
    {"writers", Kind::kTextList}, {"tags", Kind::kTextList},   {"backdrops", Kind::kTextList},
};

bool OfKind(const Json::Value& v, Kind kind) {
  switch (kind) {
    case Kind::kText:
      return v.isString();
    case Kind::kNumber:
      return v.isNumeric();
    case Kind::kInteger:
      return v.isInt64() && v.asInt64() >= 0 && v.asInt64() <= std::numeric_limits<int>::max();
    case Kind::kTextList:
      if (!v.isArray()) return false;
      for (const Json::Value& item : v) {
        if (!item.isString()) return false;
      }
      return true;
  }
  return false;
}

// Reads all of `fd` when it is a regular file of at most `max` bytes.
bool ReadBounded(int fd, size_t max, std::string* bytes, std::string* error) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > max) {
    *error = std::to_string(st.st_size) + " bytes, more than " + std::to_string(max);
    return false;
  }
  bytes->assign(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = read(fd, &(*bytes)[done], bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? strerror(errno) : "shorter than its size";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadBeneath(int dir_fd, const std::string& rel, size_t max, std::string* bytes,
                 std::string* error) {
  const int fd = OpenBeneath(dir_fd, rel);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  const bool ok = ReadBounded(fd, max, bytes, error);
  close(fd);
  return ok;
}

bool HasColumn(const std::string& table, const std::string& key) {
  static const std::set<std::string> kEveryTable = {"title",   "sort_title",  "original_available",
                                                    "summary", "certificate", "rating"};
  if (kEveryTable.count(key) != 0) return true;
  if (table == "movie") return key == "tagline" || key == "tmdb_id" || key == "imdb_id";
  if (table == "tvshow_episode") return key == "season" || key == "episode";
  return false;
}

bool NameId(Connection* conn, const char* table, const std::string& name, long long* id) {
  const std::string insert = std::string("INSERT OR IGNORE INTO ") + table + " (name) VALUES (?1)";
  Statement add = conn->Prepare(insert.c_str());
  add.Bind(1, name);
  if (!add.Run()) return false;
  const std::string select = std::string("SELECT id FROM ") + table + " WHERE name = ?1";
  Statement find = conn->Prepare(select.c_str());
  find.Bind(1, name);
  if (!find.Step()) return false;
  *id = find.ColumnInt64(0);
  return true;
}

// Replaces one list of names (credits of a role, genres or tags).
bool ReplaceNames(Connection* conn, long long mapper_id, const Json::Value& names,
                  const char* name_table, int role) {
  const bool credit = role > 0;
  const bool genre = std::strcmp(name_table, "genre") == 0;
  Statement drop = conn->Prepare(credit  ? "DELETE FROM credit WHERE mapper_id = ?1 AND role = ?2"
                                 : genre ? "DELETE FROM video_genre WHERE mapper_id = ?1"
                                         : "DELETE FROM video_tag WHERE mapper_id = ?1");
  drop.Bind(1, mapper_id);
  if (credit) drop.Bind(2, role);
  if (!drop.Run()) return false;
  std::set<std::string> seen;
  int position = 0;
  for (const Json::Value& item : names) {
    const std::string name = item.asString();
    if (name.empty() || !seen.insert(name).second) continue;
    long long name_id = 0;
    if (!NameId(conn, name_table, name, &name_id)) return false;
    Statement add = conn->Prepare(credit  ? "INSERT INTO credit (mapper_id, position, "
                                            "person_id, role) VALUES (?1, ?2, ?3, ?4)"
                                  : genre ? "INSERT INTO video_genre (mapper_id, position, "
                                            "genre_id) VALUES (?1, ?2, ?3)"
                                          : "INSERT INTO video_tag (mapper_id, position, "
                                            "tag_id) VALUES (?1, ?2, ?3)");
    add.Bind(1, mapper_id).Bind(2, position++).Bind(3, name_id);
    if (credit) add.Bind(4, role);
    if (!add.Run()) return false;
  }
  return true;
}

bool ReplaceBackdrops(Connection* conn, long long mapper_id, const std::vector<StoredImage>& images,
                      std::vector<std::string>* dropped_files) {
  // The daemon writes back the video's own backdrops: the same images in the
  // same order are left as they are (ids and times included).
  std::vector<std::string> have, files;
  {
    Statement stmt =
        conn->Prepare("SELECT md5, file FROM backdrop WHERE mapper_id = ?1 ORDER BY id");
    stmt.Bind(1, mapper_id);
    while (stmt.Step()) {
      have.push_back(stmt.ColumnBlob(0));
      if (!stmt.ColumnIsNull(1)) files.push_back(stmt.ColumnText(1));
    }
    if (stmt.failed()) return false;
  }
  std::vector<std::string> want;
  for (const StoredImage& image : images) want.push_back(image.md5);
  if (have == want) return true;
  Statement drop = conn->Prepare("DELETE FROM backdrop WHERE mapper_id = ?1");
  drop.Bind(1, mapper_id);
  if (!drop.Run()) return false;
  dropped_files->insert(dropped_files->end(), files.begin(), files.end());
  const long long now = NowSeconds();
  for (const StoredImage& image : images) {
    Statement add = conn->Prepare(
        "INSERT INTO backdrop (mapper_id, image, file, md5, size, mtime) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    add.Bind(1, mapper_id);
    if (image.file.empty()) {
      add.BindBlob(2, image.blob.data(), image.blob.size()).BindNull(3);
    } else {
      add.BindNull(2).Bind(3, image.file);
    }
    add.BindBlob(4, image.md5.data(), image.md5.size()).Bind(5, image.size).Bind(6, now);
    if (!add.Run()) return false;
  }
  return true;
}

}  // namespace

bool ReadSidecar(int dir_fd, const std::string& rel, ImageStore* images, Sidecar* out,
                 std::string* error, std::string* warning) {
  *out = Sidecar();
  std::string text;
  if (!ReadBeneath(dir_fd, rel, kMaxSidecarBytes, &text, error)) return false;
  Json::Value doc;
  std::string parse_error;
  if (!ParseJson(text, &doc, &parse_error)) {
    *error = "not JSON: " + parse_error;
    return false;
  }
  if (!doc.isObject() || doc["format"] != "kinoro-sidecar") {
    *error = "not a kinoro-sidecar document";
    return false;
  }
  if (doc["version"] != 1) {
    *error = "version " + doc["version"].toStyledString() + " is not 1";
    if (!error->empty() && error->back() == '\n') error->pop_back();
    return false;
  }
  for (const Member& member : kMembers) {
    if (!doc.isMember(member.key)) continue;
    if (!OfKind(doc[member.key], member.kind)) {
      *error = std::string(member.key) + ": not of the expected kind";
      return false;
    }
    out->members[member.key] = doc[member.key];
  }
  if (!out->members.isMember("backdrops")) return true;
  out->has_backdrops = true;
  const size_t slash = rel.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : rel.substr(0, slash + 1);
  const Json::Value& names = out->members["backdrops"];
  for (Json::ArrayIndex i = 0; i < names.size() && i < kMaxSidecarBackdrops; ++i) {
    const std::string name = names[i].asString();
    std::string bytes, stored, why;
    bool created = false;
    if (name.empty() || name[0] == '/') {
      why = "not a name beside the sidecar";
    } else if (ReadBeneath(dir_fd, dir + name, kMaxBackdropBytes, &bytes, &why) &&
               PrepareBackdropImage(bytes, &stored, &why)) {
      StoredImage image;
      if (images->Prepare(stored, &image, &created)) {
        if (created) out->created_files.push_back(image.file);
        out->backdrops.push_back(std::move(image));
        continue;
      }
      why = "cannot be stored";
    }
    if (!warning->empty()) *warning += "; ";
    *warning += "backdrop " + name + ": " + why;
  }
  return true;
}

bool ApplySidecar(Connection* conn, long long mapper_id, const Sidecar& sidecar,
                  std::vector<std::string>* dropped_files) {
  int type = 0;
  long long video_id = 0;
  std::string from_name;
  {
    Statement stmt = conn->Prepare("SELECT type, video_id, from_name FROM mapper WHERE id = ?1");
    stmt.Bind(1, mapper_id);
    if (!stmt.Step()) return false;
    type = stmt.ColumnInt(0);
    video_id = stmt.ColumnInt64(1);
    from_name = stmt.ColumnText(2);
  }
  const std::string table = VideoTypeGetName(static_cast<_VIDEO_TYPE_>(type));
  if (table.empty()) return false;
  const Json::Value& m = sidecar.members;
  std::set<std::string> applied;

  // The row's own columns, in one statement.
  std::string sets;
  std::vector<const Json::Value*> values;
  for (const Member& member : kMembers) {
    if (member.kind == Kind::kTextList || !m.isMember(member.key)) continue;
    if (!HasColumn(table, member.key)) continue;
    values.push_back(&m[member.key]);
    sets += (sets.empty() ? "" : ", ") + std::string(member.key) + " = ?" +
            std::to_string(values.size() + 1);
    applied.insert(member.key);
  }
  // A title whose sort title came from the name sorts as the new title.
  if (!sets.empty()) {
    const std::string sql = std::string("UPDATE ") + table + " SET " + sets + " WHERE id = ?1";
    Statement update = conn->Prepare(sql.c_str());
    update.Bind(1, video_id);
    for (size_t i = 0; i < values.size(); ++i) {
      const Json::Value& v = *values[i];
      const int index = static_cast<int>(i) + 2;
      if (v.isString()) {
        update.Bind(index, v.asString());
      } else if (v.isInt64()) {
        update.Bind(index, static_cast<long long>(v.asInt64()));
      } else {
        update.Bind(index, v.asDouble());
      }
    }
    if (!update.Run()) return false;
    // A title whose sort title was not given sorts as the title (a second
    // statement: within one, "sort_title = title" reads the old title).
    if (m.isMember("title") && !m.isMember("sort_title")) {
      const std::string follow =
          std::string("UPDATE ") + table + " SET sort_title = title WHERE id = ?1";
      Statement again = conn->Prepare(follow.c_str());
      again.Bind(1, video_id);
      if (!again.Run()) return false;
    }
  }

  struct NameList {
    const char* key;
    const char* table;
    int role;
  };
  static const NameList kLists[] = {{"actors", "person", kRoleActor},
                                    {"directors", "person", kRoleDirector},
                                    {"writers", "person", kRoleWriter},
                                    {"genres", "genre", 0},
                                    {"tags", "tag", 0}};
  for (const NameList& list : kLists) {
    if (!m.isMember(list.key)) continue;
    if (!ReplaceNames(conn, mapper_id, m[list.key], list.table, list.role)) return false;
    applied.insert(list.key);
  }
  if (m.isMember("collection")) {
    Statement drop = conn->Prepare("DELETE FROM collection_map WHERE mapper_id = ?1");
    drop.Bind(1, mapper_id);
    if (!drop.Run()) return false;
    const std::string title = m["collection"].asString();
    if (!title.empty()) {
      Statement add = conn->Prepare("INSERT OR IGNORE INTO collection (title) VALUES (?1)");
      add.Bind(1, title);
      Statement link = conn->Prepare(
          "INSERT OR IGNORE INTO collection_map (mapper_id, collection_id) "
          "SELECT ?1, id FROM collection WHERE title = ?2");
      link.Bind(1, mapper_id).Bind(2, title);
      if (!add.Run() || !link.Run()) return false;
    }
    applied.insert("collection");
  }
  if (sidecar.has_backdrops &&
      !ReplaceBackdrops(conn, mapper_id, sidecar.backdrops, dropped_files)) {
    return false;
  }

  // What the sidecar set no longer came from the name.
  std::string kept;
  size_t start = 0;
  while (start <= from_name.size() && !from_name.empty()) {
    size_t comma = from_name.find(',', start);
    if (comma == std::string::npos) comma = from_name.size();
    const std::string member = from_name.substr(start, comma - start);
    if (!member.empty() && applied.count(member) == 0) kept += (kept.empty() ? "" : ",") + member;
    start = comma + 1;
  }
  if (kept == from_name) return true;
  Statement mark = conn->Prepare("UPDATE mapper SET from_name = ?2 WHERE id = ?1");
  mark.Bind(1, mapper_id).Bind(2, kept);
  return mark.Run();
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
