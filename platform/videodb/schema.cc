#include "platform/videodb/schema.h"

#include <syslog.h>

#include <string>

#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// Times are Unix seconds (UTC) so that ordering by them is numeric.
// Every video of any kind has one mapper row: the mapper id names (type,
// video id) and carries the library and creation time, so that queries over
// all kinds (newest video per library) need one index.
constexpr const char kSchemaV1[] = R"sql(
CREATE TABLE library (
  id INTEGER PRIMARY KEY,
  title TEXT NOT NULL,
  type TEXT NOT NULL CHECK (type IN ('movie', 'tvshow', 'home_video')),
  is_public INTEGER NOT NULL DEFAULT 0,
  create_time INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE library_user (
  uid INTEGER NOT NULL,
  library_id INTEGER NOT NULL REFERENCES library(id) ON DELETE CASCADE,
  PRIMARY KEY (uid, library_id)
) WITHOUT ROWID;
CREATE INDEX library_user_library ON library_user(library_id);

CREATE TABLE mapper (
  id INTEGER PRIMARY KEY,
  type INTEGER NOT NULL,
  video_id INTEGER NOT NULL,
  library_id INTEGER NOT NULL REFERENCES library(id),
  create_time INTEGER NOT NULL,
  UNIQUE (type, video_id)
);
CREATE INDEX mapper_library_ctime ON mapper(library_id, create_time);

CREATE TABLE movie (
  id INTEGER PRIMARY KEY,
  mapper_id INTEGER NOT NULL UNIQUE REFERENCES mapper(id),
  library_id INTEGER NOT NULL REFERENCES library(id),
  title TEXT NOT NULL,
  sort_title TEXT NOT NULL,
  original_available TEXT NOT NULL DEFAULT '',
  tmdb_id INTEGER NOT NULL DEFAULT -1,
  imdb_id TEXT NOT NULL DEFAULT '',
  rating REAL NOT NULL DEFAULT -1,
  summary TEXT NOT NULL DEFAULT '',
  tagline TEXT NOT NULL DEFAULT '',
  certificate TEXT NOT NULL DEFAULT '',
  create_time INTEGER NOT NULL
);
CREATE INDEX movie_library_rating ON movie(library_id, rating DESC, create_time DESC, id);
CREATE INDEX movie_tmdb ON movie(tmdb_id);

CREATE TABLE tvshow (
  id INTEGER PRIMARY KEY,
  mapper_id INTEGER NOT NULL UNIQUE REFERENCES mapper(id),
  library_id INTEGER NOT NULL REFERENCES library(id),
  title TEXT NOT NULL,
  sort_title TEXT NOT NULL,
  original_available TEXT NOT NULL DEFAULT '',
  rating REAL NOT NULL DEFAULT -1,
  summary TEXT NOT NULL DEFAULT '',
  certificate TEXT NOT NULL DEFAULT '',
  create_time INTEGER NOT NULL
);
CREATE INDEX tvshow_library ON tvshow(library_id);

CREATE TABLE tvshow_episode (
  id INTEGER PRIMARY KEY,
  mapper_id INTEGER NOT NULL UNIQUE REFERENCES mapper(id),
  tvshow_id INTEGER NOT NULL REFERENCES tvshow(id),
  library_id INTEGER NOT NULL REFERENCES library(id),
  season INTEGER NOT NULL DEFAULT 0,
  episode INTEGER NOT NULL DEFAULT 0,
  title TEXT NOT NULL,
  sort_title TEXT NOT NULL,
  original_available TEXT NOT NULL DEFAULT '',
  rating REAL NOT NULL DEFAULT -1,
  summary TEXT NOT NULL DEFAULT '',
  certificate TEXT NOT NULL DEFAULT '',
  create_time INTEGER NOT NULL
);
CREATE INDEX tvshow_episode_show ON tvshow_episode(tvshow_id, season, episode);

CREATE TABLE home_video (
  id INTEGER PRIMARY KEY,
  mapper_id INTEGER NOT NULL UNIQUE REFERENCES mapper(id),
  library_id INTEGER NOT NULL REFERENCES library(id),
  title TEXT NOT NULL,
  sort_title TEXT NOT NULL,
  original_available TEXT NOT NULL DEFAULT '',
  rating REAL NOT NULL DEFAULT -1,
  summary TEXT NOT NULL DEFAULT '',
  certificate TEXT NOT NULL DEFAULT '',
  create_time INTEGER NOT NULL
);
CREATE INDEX home_video_library ON home_video(library_id);

CREATE TABLE video_file (
  id INTEGER PRIMARY KEY,
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  path TEXT NOT NULL,
  size INTEGER NOT NULL DEFAULT 0,
  duration REAL NOT NULL DEFAULT 0
);
CREATE INDEX video_file_mapper ON video_file(mapper_id, id);

CREATE TABLE person (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE credit (
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  role INTEGER NOT NULL,
  position INTEGER NOT NULL,
  person_id INTEGER NOT NULL REFERENCES person(id),
  PRIMARY KEY (mapper_id, role, position)
) WITHOUT ROWID;
CREATE INDEX credit_person ON credit(person_id);

CREATE TABLE genre (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE video_genre (
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  position INTEGER NOT NULL,
  genre_id INTEGER NOT NULL REFERENCES genre(id),
  PRIMARY KEY (mapper_id, position)
) WITHOUT ROWID;
CREATE INDEX video_genre_genre ON video_genre(genre_id);

CREATE TABLE tag (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE video_tag (
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  position INTEGER NOT NULL,
  tag_id INTEGER NOT NULL REFERENCES tag(id),
  PRIMARY KEY (mapper_id, position)
) WITHOUT ROWID;
CREATE INDEX video_tag_tag ON video_tag(tag_id);

CREATE TABLE collection (
  id INTEGER PRIMARY KEY,
  title TEXT NOT NULL UNIQUE,
  summary TEXT NOT NULL DEFAULT ''
);
CREATE TABLE collection_map (
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  collection_id INTEGER NOT NULL REFERENCES collection(id),
  PRIMARY KEY (mapper_id, collection_id)
) WITHOUT ROWID;
CREATE INDEX collection_map_collection ON collection_map(collection_id);

-- Image bytes live in `image` when small, else in `file` (a name in the
-- image folder beside the database); md5 is the 16-byte digest of the bytes.
CREATE TABLE poster (
  mapper_id INTEGER PRIMARY KEY REFERENCES mapper(id),
  image BLOB,
  file TEXT,
  md5 BLOB NOT NULL,
  size INTEGER NOT NULL,
  mtime INTEGER NOT NULL
);
CREATE INDEX poster_file ON poster(file) WHERE file IS NOT NULL;
CREATE TABLE backdrop (
  id INTEGER PRIMARY KEY,
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  image BLOB,
  file TEXT,
  md5 BLOB NOT NULL,
  size INTEGER NOT NULL,
  mtime INTEGER NOT NULL
);
CREATE INDEX backdrop_mapper ON backdrop(mapper_id, id);
CREATE INDEX backdrop_file ON backdrop(file) WHERE file IS NOT NULL;

CREATE TABLE watch_status (
  uid INTEGER NOT NULL,
  mapper_id INTEGER NOT NULL REFERENCES mapper(id),
  position REAL NOT NULL,
  PRIMARY KEY (mapper_id, uid)
) WITHOUT ROWID;

CREATE TABLE produced_file (
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL,
  size INTEGER NOT NULL DEFAULT 0,
  duration REAL NOT NULL DEFAULT 0
);
CREATE TABLE conversion_task (
  id INTEGER PRIMARY KEY,
  uid INTEGER NOT NULL,
  file_id INTEGER NOT NULL REFERENCES video_file(id),
  video_profile TEXT NOT NULL,
  audio_id INTEGER NOT NULL DEFAULT 0,
  state INTEGER NOT NULL DEFAULT 0,
  progress REAL NOT NULL DEFAULT 0,
  time_left INTEGER NOT NULL DEFAULT 0,
  error INTEGER NOT NULL DEFAULT 0,
  produced_file_id INTEGER REFERENCES produced_file(id),
  create_time INTEGER NOT NULL
);
CREATE INDEX conversion_task_uid ON conversion_task(uid, create_time);
CREATE INDEX conversion_task_file ON conversion_task(file_id);
)sql";

// Version 2: the members of a video's metadata that came only from its
// file's name (a comma-separated list, empty for none), which the metadata
// daemon leaves out of the sidecar so that a rename can still correct them.
constexpr const char kSchemaV2[] =
    "ALTER TABLE mapper ADD COLUMN from_name TEXT NOT NULL DEFAULT '';";

// Version 3: libraries own folders (share paths, "/<share>/<folder>"), and a
// scanned file keeps its container facts and modification time, so that a
// rescan opens only files whose size or time changed.
constexpr const char kSchemaV3[] = R"sql(
CREATE TABLE library_path (
  library_id INTEGER NOT NULL REFERENCES library(id) ON DELETE CASCADE,
  path TEXT NOT NULL,
  PRIMARY KEY (library_id, path)
) WITHOUT ROWID;
ALTER TABLE video_file ADD COLUMN width INTEGER NOT NULL DEFAULT 0;
ALTER TABLE video_file ADD COLUMN height INTEGER NOT NULL DEFAULT 0;
ALTER TABLE video_file ADD COLUMN video_codec TEXT NOT NULL DEFAULT '';
ALTER TABLE video_file ADD COLUMN audio_codec TEXT NOT NULL DEFAULT '';
ALTER TABLE video_file ADD COLUMN bit_rate INTEGER NOT NULL DEFAULT 0;
ALTER TABLE video_file ADD COLUMN mtime INTEGER NOT NULL DEFAULT 0;
)sql";

// Version 4: the size and time of the sidecar ("<file>.krmeta") last read
// for a file, -1 when it had none, so that a rescan reads a sidecar again
// only when it changed.
constexpr const char kSchemaV4[] = R"sql(
ALTER TABLE video_file ADD COLUMN sidecar_size INTEGER NOT NULL DEFAULT -1;
ALTER TABLE video_file ADD COLUMN sidecar_mtime INTEGER NOT NULL DEFAULT 0;
)sql";

// Version 5: TV shows are matched with TMDb as movies are.
constexpr const char kSchemaV5[] = R"sql(
ALTER TABLE tvshow ADD COLUMN tmdb_id INTEGER NOT NULL DEFAULT -1;
ALTER TABLE tvshow ADD COLUMN imdb_id TEXT NOT NULL DEFAULT '';
)sql";

int UserVersion(Connection* conn) {
  Statement stmt = conn->Prepare("PRAGMA user_version");
  if (!stmt.Step()) return -1;
  return stmt.ColumnInt(0);
}

}  // namespace

bool EnsureSchema(Connection* conn) {
  int version = UserVersion(conn);
  if (version == kSchemaVersion) return true;
  if (version < 0) return false;
  if (version > kSchemaVersion) {
    syslog(LOG_ERR, "%s:%d database %s has schema version %d, newer than %d", "schema", __LINE__,
           conn->path().c_str(), version, kSchemaVersion);
    return false;
  }
  // Two processes may open a new file at once: the write lock decides who
  // creates, and the loser sees the version already set.
  Transaction txn(conn);
  if (!txn.ok()) return false;
  version = UserVersion(conn);
  if (version == kSchemaVersion) return true;
  std::string sql;
  if (version == 0) sql += kSchemaV1;
  if (version <= 1) sql += kSchemaV2;
  if (version <= 2) sql += kSchemaV3;
  if (version <= 3) sql += kSchemaV4;
  if (version <= 4) sql += kSchemaV5;
  sql += "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
  if (!conn->Exec(sql.c_str())) return false;
  return txn.Commit();
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
