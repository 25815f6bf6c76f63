// OfflineConversionAPI: conversion tasks within a user scope (uid 0: every
// user's). Changes by id are all or nothing: when one id names no task in
// scope, nothing changes and the call fails.
#include <syslog.h>

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>

#include "libkinoro/api.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/video_parts.h"

namespace LibKinoro {
namespace db {
namespace api {

using internal::Connection;
using internal::Statement;

namespace {

// Common columns of every video kind's table, then kind-specific ones.
const char kVideoColumns[] =
    "id, mapper_id, library_id, title, sort_title, original_available, rating, certificate, "
    "create_time";

template <typename T>
void ReadVideo(const Statement& stmt, T* v) {
  v->id = stmt.ColumnInt(0);
  v->mapper_id = stmt.ColumnInt(1);
  v->library_id = stmt.ColumnInt(2);
  v->title = stmt.ColumnText(3);
  v->sort_title = stmt.ColumnText(4);
  v->original_available = stmt.ColumnText(5);
  v->rating = stmt.ColumnDouble(6);
  v->certificate = stmt.ColumnText(7);
  v->create_time = internal::FormatTime(stmt.ColumnInt64(8));
}

// The source videos of a set of mapper ids, one query per video kind.
bool LoadVideos(Connection* conn, const std::vector<int>& mapper_ids,
                std::map<int, std::shared_ptr<record::BaseVideo>>* out) {
  const std::string ids = internal::JsonIdList(mapper_ids);
  const std::string where = " WHERE mapper_id IN (SELECT value FROM json_each(?1))";
  {
    std::string sql =
        std::string("SELECT ") + kVideoColumns + ", tmdb_id, imdb_id FROM movie" + where;
    Statement stmt = conn->Prepare(sql.c_str());
    stmt.Bind(1, ids);
    while (stmt.Step()) {
      auto movie = std::make_shared<record::Movie>();
      ReadVideo(stmt, movie.get());
      movie->tmdb_id = stmt.ColumnInt64(9);
      movie->imdb_id = stmt.ColumnText(10);
      (*out)[movie->mapper_id] = movie;
    }
    if (stmt.failed()) return false;
  }
  {
    std::string sql = std::string("SELECT ") + kVideoColumns +
                      ", tvshow_id, season, episode FROM tvshow_episode" + where;
    Statement stmt = conn->Prepare(sql.c_str());
    stmt.Bind(1, ids);
    while (stmt.Step()) {
      auto episode = std::make_shared<record::TVShowEpisode>();
      ReadVideo(stmt, episode.get());
      episode->tvshow_id = stmt.ColumnInt(9);
      episode->season = stmt.ColumnInt(10);
      episode->episode = stmt.ColumnInt(11);
      (*out)[episode->mapper_id] = episode;
    }
    if (stmt.failed()) return false;
  }
  {
    std::string sql = std::string("SELECT ") + kVideoColumns + " FROM home_video" + where;
    Statement stmt = conn->Prepare(sql.c_str());
    stmt.Bind(1, ids);
    while (stmt.Step()) {
      auto video = std::make_shared<record::HomeVideo>();
      ReadVideo(stmt, video.get());
      (*out)[video->mapper_id] = video;
    }
    if (stmt.failed()) return false;
  }
  return true;
}

record::File ReadFile(const Statement& stmt, int first_col) {
  record::File file;
  file.id = stmt.ColumnInt(first_col);
  file.video_mapper_id = stmt.ColumnInt(first_col + 1);
  file.path = stmt.ColumnText(first_col + 2);
  file.size = stmt.ColumnInt64(first_col + 3);
  file.duration = stmt.ColumnDouble(first_col + 4);
  return file;
}

}  // namespace

std::vector<record::OfflineConversionTask> OfflineConversionAPI::List() const {
  std::vector<record::OfflineConversionTask> tasks;
  Connection* conn = Connection::Get();
  if (conn == nullptr) return tasks;
  internal::ReadSnapshot snapshot(conn);
  Statement stmt = conn->Prepare(
      order_ == SORT_DESC
          ? "SELECT t.id, t.uid, t.create_time, t.state, t.progress, t.time_left, t.error, "
            "t.file_id, t.video_profile, t.audio_id, t.produced_file_id, "
            "f.id, f.mapper_id, f.path, f.size, f.duration, "
            "p.id, 0, p.path, p.size, p.duration "
            "FROM conversion_task t LEFT JOIN video_file f ON f.id = t.file_id "
            "LEFT JOIN produced_file p ON p.id = t.produced_file_id "
            "WHERE ?1 = 0 OR t.uid = ?1 ORDER BY t.create_time DESC, t.id DESC"
          : "SELECT t.id, t.uid, t.create_time, t.state, t.progress, t.time_left, t.error, "
            "t.file_id, t.video_profile, t.audio_id, t.produced_file_id, "
            "f.id, f.mapper_id, f.path, f.size, f.duration, "
            "p.id, 0, p.path, p.size, p.duration "
            "FROM conversion_task t LEFT JOIN video_file f ON f.id = t.file_id "
            "LEFT JOIN produced_file p ON p.id = t.produced_file_id "
            "WHERE ?1 = 0 OR t.uid = ?1 ORDER BY t.create_time, t.id");
  stmt.Bind(1, static_cast<long long>(scope_uid_));
  std::vector<int> source_mappers;
  while (stmt.Step()) {
    record::OfflineConversionTask task;
    task.id = stmt.ColumnInt(0);
    task.uid = static_cast<unsigned int>(stmt.ColumnInt64(1));
    task.create_time = internal::FormatTime(stmt.ColumnInt64(2));
    proto::ConversionStatus status;
    status.state = stmt.ColumnInt(3);
    status.progress = stmt.ColumnDouble(4);
    status.time_left = stmt.ColumnInt(5);
    status.error = stmt.ColumnInt(6);
    task.status = record::OfflineConversionStatus(status);
    task.setting.file_id = stmt.ColumnInt(7);
    task.setting.set_video_profile(stmt.ColumnText(8));
    task.setting.audio_id = stmt.ColumnInt(9);
    if (with_file && !stmt.ColumnIsNull(11)) task.setting.file = ReadFile(stmt, 11);
    if (with_produced_file && !stmt.ColumnIsNull(16)) {
      task.setting.produced_file = ReadFile(stmt, 16);
    }
    if (!stmt.ColumnIsNull(12)) source_mappers.push_back(stmt.ColumnInt(12));
    tasks.push_back(std::move(task));
  }
  if (stmt.failed()) return {};
  if (!with_video || tasks.empty()) return tasks;

  std::map<int, std::shared_ptr<record::BaseVideo>> videos;
  if (!LoadVideos(conn, source_mappers, &videos)) return {};
  if (with_poster_mtime) {
    internal::PartSwitches parts;
    parts.poster_mtime = true;
    parts.cover_rule = cover_rule;
    std::vector<internal::PartTarget> page;
    for (auto& entry : videos) page.push_back({entry.first, &entry.second->additional});
    if (!internal::LoadParts(conn, parts, page)) return {};
  }
  // The file's mapper is in the joined row; look it up again per task.
  Statement mapper_of = conn->Prepare(
      "SELECT id, mapper_id FROM video_file WHERE id IN (SELECT value FROM json_each(?1))");
  std::vector<int> file_ids;
  for (const auto& task : tasks) file_ids.push_back(task.setting.file_id);
  mapper_of.Bind(1, internal::JsonIdList(file_ids));
  std::unordered_map<int, int> file_mapper;
  while (mapper_of.Step()) file_mapper[mapper_of.ColumnInt(0)] = mapper_of.ColumnInt(1);
  if (mapper_of.failed()) return {};
  for (auto& task : tasks) {
    auto it = videos.find(file_mapper[task.setting.file_id]);
    if (it != videos.end()) task.setting.video = it->second;
  }
  return tasks;
}

int OfflineConversionAPI::Create(record::OfflineConversionSetting& setting) const {
  if (setting.file_id <= 0 || setting.video_profile().empty() || setting.audio_id < 0) {
    syslog(LOG_ERR, "%s:%d conversion task refused: bad setting (file %d, profile \"%s\")",
           "conversion_api", __LINE__, setting.file_id, setting.video_profile().c_str());
    return -1;
  }
  Connection* conn = Connection::Get();
  if (conn == nullptr) return -1;
  internal::Transaction txn(conn);
  if (!txn.ok()) return -1;
  Statement file = conn->Prepare("SELECT 1 FROM video_file WHERE id = ?1");
  file.Bind(1, setting.file_id);
  if (!file.Step()) {
    syslog(LOG_ERR, "%s:%d conversion task refused: no file %d", "conversion_api", __LINE__,
           setting.file_id);
    return -1;
  }
  Statement insert = conn->Prepare(
      "INSERT INTO conversion_task (uid, file_id, video_profile, audio_id, state, create_time) "
      "VALUES (?1, ?2, ?3, ?4, 0, ?5)");
  insert.Bind(1, static_cast<long long>(scope_uid_))
      .Bind(2, setting.file_id)
      .Bind(3, setting.video_profile())
      .Bind(4, setting.audio_id)
      .Bind(5, internal::NowSeconds());
  if (!insert.Run()) return -1;
  long long id = conn->LastInsertRowId();
  if (!txn.Commit()) return -1;
  return static_cast<int>(id);
}

namespace {

// Runs `sql` (parameters: ?1 the JSON id list, ?2 the scope uid) after
// checking that every id names a task in scope.
bool ChangeByIds(unsigned int scope_uid, const std::vector<int>& ids, const char* sql) {
  Connection* conn = Connection::Get();
  if (conn == nullptr) return false;
  internal::Transaction txn(conn);
  if (!txn.ok()) return false;
  std::vector<int> unique(ids);
  std::sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
  const std::string list = internal::JsonIdList(unique);
  Statement count = conn->Prepare(
      "SELECT COUNT(*) FROM conversion_task "
      "WHERE id IN (SELECT value FROM json_each(?1)) AND (?2 = 0 OR uid = ?2)");
  count.Bind(1, list).Bind(2, static_cast<long long>(scope_uid));
  if (!count.Step()) return false;
  if (count.ColumnInt64(0) != static_cast<long long>(unique.size())) {
    syslog(LOG_ERR, "%s:%d conversion tasks unchanged: an id is not a task of user %u",
           "conversion_api", __LINE__, scope_uid);
    return false;
  }
  Statement change = conn->Prepare(sql);
  change.Bind(1, list).Bind(2, static_cast<long long>(scope_uid));
  return change.Run() && txn.Commit();
}

bool ChangeAll(unsigned int scope_uid, const char* sql) {
  Connection* conn = Connection::Get();
  if (conn == nullptr) return false;
  internal::Transaction txn(conn);
  if (!txn.ok()) return false;
  Statement change = conn->Prepare(sql);
  change.Bind(1, static_cast<long long>(scope_uid));
  return change.Run() && txn.Commit();
}

// Stopping touches only tasks that have not finished; restarting only those
// that stopped or failed, which start over from the beginning.
#define KINORO_STOP_SET "SET state = 4, time_left = 0 "
#define KINORO_STOPPABLE "state IN (0, 1)"
#define KINORO_RESTART_SET "SET state = 0, progress = 0, time_left = 0, error = 0 "
#define KINORO_RESTARTABLE "state IN (3, 4)"

}  // namespace

bool OfflineConversionAPI::Delete(const std::vector<int>& ids) const {
  return ChangeByIds(scope_uid_, ids,
                     "DELETE FROM conversion_task WHERE id IN (SELECT value FROM json_each(?1)) "
                     "AND (?2 = 0 OR uid = ?2)");
}

bool OfflineConversionAPI::Stop(const std::vector<int>& ids) const {
  return ChangeByIds(scope_uid_, ids,
                     "UPDATE conversion_task " KINORO_STOP_SET
                     "WHERE id IN (SELECT value FROM json_each(?1)) AND (?2 = 0 OR uid = ?2) "
                     "AND " KINORO_STOPPABLE);
}

bool OfflineConversionAPI::Restart(const std::vector<int>& ids) const {
  return ChangeByIds(scope_uid_, ids,
                     "UPDATE conversion_task " KINORO_RESTART_SET
                     "WHERE id IN (SELECT value FROM json_each(?1)) AND (?2 = 0 OR uid = ?2) "
                     "AND " KINORO_RESTARTABLE);
}

bool OfflineConversionAPI::StopAll() const {
  return ChangeAll(scope_uid_, "UPDATE conversion_task " KINORO_STOP_SET
                               "WHERE (?1 = 0 OR uid = ?1) AND " KINORO_STOPPABLE);
}

bool OfflineConversionAPI::RestartAll() const {
  return ChangeAll(scope_uid_, "UPDATE conversion_task " KINORO_RESTART_SET
                               "WHERE (?1 = 0 OR uid = ?1) AND " KINORO_RESTARTABLE);
}

}  // namespace api
}  // namespace db
}  // namespace LibKinoro
