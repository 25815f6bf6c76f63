// Loads the JSON import format into the database. Records are checked while
// they are inserted, inside one write transaction owned by the importer: the
// first bad member ends the import, names the member (for example
// "movies[3].title: expected a string") and rolls everything back.
#ifndef KINORO_PLATFORM_VIDEODB_IMPORTER_H_
#define KINORO_PLATFORM_VIDEODB_IMPORTER_H_

#include <json/json.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/videodb/image_store.h"
#include "platform/videodb/name_ids.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

struct ImportCounts {
  long long libraries = 0;
  long long movies = 0;
  long long tvshows = 0;
  long long episodes = 0;
  long long videos = 0;
  long long files = 0;
  long long images = 0;
  long long conversion_tasks = 0;

  long long records() const { return movies + tvshows + episodes + videos + conversion_tasks; }
};

// Where a section's array starts in a document's text.
struct SectionAt {
  const char* key;  // one of the section names
  long long offset;
};

class Importer {
 public:
  // `base_dir` resolves relative image paths. `progress` (may be empty) is
  // called after every `progress_every` video and task records.
  Importer(Connection* conn, std::string base_dir);
  ~Importer();
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;

  void SetProgress(std::function<void(long long records)> progress, long long every);

  // Opens the transaction; false when the database is busy or failed.
  bool Begin();

  // Each adds one record of the format; `path` names it in messages
  // ("movies[3]"). False with error() set on the first problem.
  bool AddLibrary(const Json::Value& value, const std::string& path);
  bool AddMovie(const Json::Value& value, const std::string& path);
  bool AddTVShow(const Json::Value& value, const std::string& path);
  bool AddHomeVideo(const Json::Value& value, const std::string& path);
  bool AddConversionTask(const Json::Value& value, const std::string& path);

  // Adds every member of a whole document.
  bool AddDocument(const Json::Value& doc);

  // Adds a document read from `file` one record at a time. False with
  // `parse_error` set when the text is not JSON, else with error() set.
  // Mapper ids assigned to records without one start above `largest`, the
  // largest explicit one (ReserveMapperIds, before the first record). A
  // document read a record at a time gives it from a pass over its text,
  // made only if some record has no mapper id (ReserveMapperIdsLater; -1
  // when the text cannot be read).
  bool AddStream(FILE* file, std::string* parse_error);
  void ReserveMapperIds(long long largest) {
    if (largest >= next_mapper_) next_mapper_ = largest + 1;
  }
  void ReserveMapperIdsLater(std::function<long long()> largest) {
    largest_mapper_id_ = std::move(largest);
  }

  // With merge on, a record whose id exists updates it: the members given
  // replace the stored ones, the members absent keep theirs, and a list
  // given (genres, people, tags, files, backdrops, users, paths) replaces
  // the stored list. Conversion tasks are always added.
  void SetMerge(bool merge) { merge_ = merge; }

  // Commits; on false (or when never called) the destructor rolls back and
  // removes the image files this import wrote.
  bool Commit();

  const std::string& error() const { return error_; }
  const ImportCounts& counts() const { return counts_; }

 private:
  struct VideoCommon;

  using AddFn = bool (Importer::*)(const Json::Value&, const std::string&);
  // The document's top-level arrays in the order they go in, so that
  // libraries come before the videos that name them.
  struct Section {
    const char* key;
    AddFn add;
  };
  static const Section kSections[];
  bool StreamPass(FILE* file, const char* wanted, AddFn add, long long offset,
                  std::vector<SectionAt>* found, std::string* parse_error);
  bool Fail(const std::string& path, const std::string& message);
  bool FailDb(const std::string& path);
  bool ReadCommon(const Json::Value& value, const std::string& path, const char* table,
                  VideoCommon* common);
  bool LoadStored(const char* table, const std::string& path, VideoCommon* common);
  bool UpdateStored(const char* table, const VideoCommon& common, const std::string& path);
  // The row of a new show or home video, whose tables share these columns.
  bool InsertCommonRow(const char* table, const VideoCommon& common, long long id,
                       long long mapper_id, const std::string& path);
  // Inserts the mapper row of a new video of `table`: the video's id is
  // the requested one or the one SQLite would give, the mapper id the
  // requested one or the next free one.
  bool InsertMapper(int type, const char* table, const VideoCommon& c, long long library_id,
                    const std::string& path, long long* video_id, long long* mapper_id);
  // `replace`: the video was stored before this import (merge), so the
  // lists the document gives replace the stored ones.
  bool AddVideoParts(const Json::Value& value, const std::string& path, long long mapper_id,
                     bool replace);
  enum NameKind { kPersonNames, kGenreNames, kTagNames };
  bool AddNames(const Json::Value& value, const std::string& path, const char* key,
                long long mapper_id, NameKind kind, int role, bool replace);
  bool AddFiles(const Json::Value& value, const std::string& path, long long mapper_id,
                bool replace);
  bool AddImages(const Json::Value& value, const std::string& path, long long mapper_id);
  bool StoreImage(const std::string& image_path, const std::string& path, long long mapper_id,
                  bool poster);
  bool NameId(NameKind kind, std::string_view name, long long* id);
  // The statements a large import runs for every record, prepared once and
  // kept for the whole import: no lookup in the connection's cache and no
  // clearing of parameters per row. Every parameter is bound on each use.
  enum KeptStatement {
    kInsertMapper,
    kInsertMovie,
    kInsertFile,
    kInsertCredit,
    kInsertGenre,
    kInsertTag,
    kInsertPerson,
    kInsertGenreName,
    kInsertTagName,
    kKeptStatements
  };
  Statement& Kept(KeptStatement which, const char* sql);
  bool LibraryExists(long long id, const std::string& path);
  bool AddEpisode(const Json::Value& value, const std::string& path, long long tvshow_id,
                  long long library_id);
  bool AddEpisodes(const Json::Value& value, const std::string& path, long long tvshow_id,
                   long long library_id);
  void Tick();

  Connection* conn_;
  std::string base_dir_;
  ImageStore images_;
  std::unique_ptr<Transaction> txn_;
  bool committed_ = false;
  std::string error_;
  ImportCounts counts_;
  std::function<void(long long)> progress_;
  long long progress_every_ = 10000;
  long long next_mapper_ = 0;
  std::function<long long()> largest_mapper_id_;
  bool merge_ = false;
  long long now_ = 0;
  std::vector<std::string> created_files_;
  NameIds name_ids_[3];  // by NameKind
  Statement kept_[kKeptStatements];
  std::vector<std::string_view> listed_names_;              // AddNames' scratch
  std::vector<std::string_view> seen_names_;                // AddNames' scratch
  std::unordered_set<long long> known_libraries_;
};

// Reads and imports a document file; exit-code style helper for the tool and
// the tests. False with `error` set when the file cannot be read or parsed or
// the import failed.
// The document is read a record at a time; the import ends with the
// write-ahead log checkpointed and truncated.
bool ImportFile(Connection* conn, const std::string& file, bool show_progress, ImportCounts* counts,
                std::string* error, bool merge = false);

// The base time of records without "create_time": the import's start.
long long ImportNow();

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_IMPORTER_H_
