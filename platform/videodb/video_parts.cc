#include "platform/videodb/video_parts.h"

#include <unordered_map>

#include "platform/videodb/db_util.h"
#include "platform/videodb/schema.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

using Index = std::unordered_map<int, std::vector<Json::Value*>>;

// Several records of a page may share a mapper id only by a caller's
// mistake, but the index keeps every one of them served.
Index IndexPage(const std::vector<PartTarget>& page, std::vector<int>* ids) {
  Index index;
  for (const PartTarget& target : page) {
    auto& slot = index[target.mapper_id];
    if (slot.empty()) ids->push_back(target.mapper_id);
    slot.push_back(target.additional);
  }
  return index;
}

void SetAll(const Index& index, const char* key, const Json::Value& initial) {
  for (const auto& entry : index) {
    for (Json::Value* additional : entry.second) (*additional)[key] = initial;
  }
}

template <typename Fn>
bool ForEachRow(Statement& stmt, const Index& index, Fn fn) {
  while (stmt.Step()) {
    auto it = index.find(stmt.ColumnInt(0));
    if (it == index.end()) continue;
    for (Json::Value* additional : it->second) fn(*additional);
  }
  return !stmt.failed();
}

bool LoadNames(Connection* conn, const Index& index, const std::string& ids, int role,
               const char* key) {
  SetAll(index, key, Json::Value(Json::arrayValue));
  Statement stmt = conn->Prepare(
      "SELECT c.mapper_id, p.name FROM credit c JOIN person p ON p.id = c.person_id "
      "WHERE c.mapper_id IN (SELECT value FROM json_each(?1)) AND c.role = ?2 "
      "ORDER BY c.mapper_id, c.position");
  stmt.Bind(1, ids).Bind(2, role);
  return ForEachRow(stmt, index,
                    [&](Json::Value& additional) { additional[key].append(stmt.ColumnText(1)); });
}

Json::Value FileJson(const Statement& stmt, int first_col) {
  record::File file;
  file.id = stmt.ColumnInt(first_col);
  file.video_mapper_id = stmt.ColumnInt(0);
  file.path = stmt.ColumnText(first_col + 1);
  file.size = stmt.ColumnInt64(first_col + 2);
  file.duration = stmt.ColumnDouble(first_col + 3);
  return file.AsJson();
}

}  // namespace

CoverRule ParseCoverRule(const std::string& text) {
  if (text == "backdrop") return CoverRule::kBackdrop;
  return CoverRule::kPoster;
}

bool LoadParts(Connection* conn, const PartSwitches& parts, const std::vector<PartTarget>& page) {
  if (page.empty()) return true;
  std::vector<int> id_list;
  Index index = IndexPage(page, &id_list);
  const std::string ids = JsonIdList(id_list);

  if (parts.file) {
    SetAll(index, "file", Json::Value(Json::arrayValue));
    Statement stmt = conn->Prepare(
        "SELECT mapper_id, id, path, size, duration FROM video_file "
        "WHERE mapper_id IN (SELECT value FROM json_each(?1)) ORDER BY mapper_id, id");
    stmt.Bind(1, ids);
    if (!ForEachRow(stmt, index, [&](Json::Value& a) { a["file"].append(FileJson(stmt, 1)); })) {
      return false;
    }
  }
  if (parts.actor && !LoadNames(conn, index, ids, kRoleActor, "actor")) return false;
  if (parts.director && !LoadNames(conn, index, ids, kRoleDirector, "director")) return false;
  if (parts.writer && !LoadNames(conn, index, ids, kRoleWriter, "writer")) return false;
  if (parts.genre) {
    SetAll(index, "genre", Json::Value(Json::arrayValue));
    Statement stmt = conn->Prepare(
        "SELECT v.mapper_id, g.name FROM video_genre v JOIN genre g ON g.id = v.genre_id "
        "WHERE v.mapper_id IN (SELECT value FROM json_each(?1)) ORDER BY v.mapper_id, v.position");
    stmt.Bind(1, ids);
    if (!ForEachRow(stmt, index, [&](Json::Value& a) { a["genre"].append(stmt.ColumnText(1)); })) {
      return false;
    }
  }
  if (parts.extra) {
    for (const auto& entry : index) {
      for (Json::Value* a : entry.second) (*a)["extra"]["tag"] = Json::Value(Json::arrayValue);
    }
    Statement stmt = conn->Prepare(
        "SELECT v.mapper_id, t.name FROM video_tag v JOIN tag t ON t.id = v.tag_id "
        "WHERE v.mapper_id IN (SELECT value FROM json_each(?1)) ORDER BY v.mapper_id, v.position");
    stmt.Bind(1, ids);
    if (!ForEachRow(stmt, index,
                    [&](Json::Value& a) { a["extra"]["tag"].append(stmt.ColumnText(1)); })) {
      return false;
    }
  }
  if (parts.collection) {
    SetAll(index, "collection", Json::Value(Json::arrayValue));
    Statement stmt = conn->Prepare(
        "SELECT m.mapper_id, c.id, c.title FROM collection_map m "
        "JOIN collection c ON c.id = m.collection_id "
        "WHERE m.mapper_id IN (SELECT value FROM json_each(?1)) ORDER BY m.mapper_id, c.id");
    stmt.Bind(1, ids);
    if (!ForEachRow(stmt, index, [&](Json::Value& a) {
          Json::Value collection(Json::objectValue);
          collection["id"] = stmt.ColumnInt(1);
          collection["title"] = stmt.ColumnText(2);
          a["collection"].append(collection);
        })) {
      return false;
    }
  }
  if (parts.watched_ratio) {
    SetAll(index, "watched_ratio", Json::Value(0.0));
    // The position is in seconds of the video's first file.
    Statement stmt = conn->Prepare(
        "SELECT w.mapper_id, w.position, "
        "       (SELECT f.duration FROM video_file f WHERE f.mapper_id = w.mapper_id "
        "        ORDER BY f.id LIMIT 1) "
        "FROM watch_status w "
        "WHERE w.mapper_id IN (SELECT value FROM json_each(?1)) AND w.uid = ?2");
    stmt.Bind(1, ids).Bind(2, static_cast<long long>(parts.uid));
    if (!ForEachRow(stmt, index, [&](Json::Value& a) {
          double duration = stmt.ColumnDouble(2);
          double ratio = duration > 0 ? stmt.ColumnDouble(1) / duration : 0.0;
          a["watched_ratio"] = ratio < 0 ? 0.0 : (ratio > 1 ? 1.0 : ratio);
        })) {
      return false;
    }
  }
  if (parts.conversion_produced) {
    SetAll(index, "conversion_produced", Json::Value(Json::arrayValue));
    Statement stmt = conn->Prepare(
        "SELECT f.mapper_id, p.id, p.path, p.size, p.duration FROM video_file f "
        "JOIN conversion_task t ON t.file_id = f.id "
        "JOIN produced_file p ON p.id = t.produced_file_id "
        "WHERE f.mapper_id IN (SELECT value FROM json_each(?1)) AND t.state = 2 "
        "ORDER BY f.mapper_id, t.id");
    stmt.Bind(1, ids);
    if (!ForEachRow(stmt, index,
                    [&](Json::Value& a) { a["conversion_produced"].append(FileJson(stmt, 1)); })) {
      return false;
    }
  }
  bool backdrop_cover =
      parts.poster_mtime && ParseCoverRule(parts.cover_rule) == CoverRule::kBackdrop;
  if (parts.backdrop_mtime || backdrop_cover) {
    Statement stmt = conn->Prepare(
        "SELECT mapper_id, MAX(mtime) FROM backdrop "
        "WHERE mapper_id IN (SELECT value FROM json_each(?1)) GROUP BY mapper_id");
    stmt.Bind(1, ids);
    if (parts.backdrop_mtime) SetAll(index, "backdrop_mtime", Json::Value(""));
    if (!ForEachRow(stmt, index, [&](Json::Value& a) {
          std::string mtime = FormatTime(stmt.ColumnInt64(1));
          if (parts.backdrop_mtime) a["backdrop_mtime"] = mtime;
          if (backdrop_cover) a["poster_mtime"] = mtime;
        })) {
      return false;
    }
  }
  if (parts.poster_mtime) {
    for (const auto& entry : index) {
      for (Json::Value* a : entry.second) {
        if (!a->isMember("poster_mtime")) (*a)["poster_mtime"] = "";
      }
    }
    Statement stmt = conn->Prepare(
        "SELECT mapper_id, mtime FROM poster WHERE mapper_id IN (SELECT value FROM json_each(?1))");
    stmt.Bind(1, ids);
    if (!ForEachRow(stmt, index, [&](Json::Value& a) {
          // Under the backdrop rule the poster only stands in for videos
          // without a backdrop.
          if (backdrop_cover && !a["poster_mtime"].asString().empty()) return;
          a["poster_mtime"] = FormatTime(stmt.ColumnInt64(1));
        })) {
      return false;
    }
  }
  return true;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
