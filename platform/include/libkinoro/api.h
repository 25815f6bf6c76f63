// Access objects of the video database library. One object serves one
// request: configure its user scope and part switches, then query. Every call
// reports failure by its return value; none throws.
#ifndef KINORO_PLATFORM_INCLUDE_LIBKINORO_API_H_
#define KINORO_PLATFORM_INCLUDE_LIBKINORO_API_H_

#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "libkinoro/records.h"

namespace LibKinoro {
namespace db {

// Points every access object made afterwards in this process at another
// database file (tests, tools). The default is the root's
// "/var/packages/Kinoro/var/kinoro.db". Closes the process's open connection.
void SetDatabasePath(const std::string& path);
std::string GetDatabasePath();

namespace api {

class BaseAPI {
 public:
  enum SortOrder {
    SORT_ASC = 0,
    SORT_DESC = 1,
  };

  BaseAPI();
  virtual ~BaseAPI();

  // User scope of the queries: an administrator sees every library, another
  // user the public libraries and those that name the user.
  bool is_admin = false;
  unsigned int uid = 0;
};

class LibraryAPI : public BaseAPI {
 public:
  LibraryAPI();
  ~LibraryAPI() override;

  void AsUser(unsigned int uid, bool admin);

  // Visible libraries, newest video creation time first; libraries without
  // videos last (then by id).
  std::vector<record::Library> ListOrderByVideoCTime() const;
};

class AbstractVideoAPI : public BaseAPI {
 public:
  AbstractVideoAPI();
  ~AbstractVideoAPI() override;

  bool with_poster_mtime = false;
  bool with_backdrop_mtime = false;
  bool with_summary = false;
};

class BaseVideoAPI : public AbstractVideoAPI {
 public:
  BaseVideoAPI();
  ~BaseVideoAPI() override;

  bool with_collection = false;
  bool with_file = false;
  bool with_watched_ratio = false;
  bool with_conversion_produced = false;

  // The user's prepared cover rule for poster information; a rule the
  // library does not understand is ignored.
  BaseVideoAPI& WithCoverRule(const std::string& rule);
  const std::string& cover_rule() const { return cover_rule_; }

 protected:
  std::string cover_rule_;
};

class VideoAPI : public BaseVideoAPI {
 public:
  VideoAPI();
  ~VideoAPI() override;

  bool with_actor = false;
  bool with_director = false;
  bool with_genre = false;
  bool with_writer = false;
  bool with_extra = false;
};

class EpisodeAPI : public VideoAPI {
 public:
  EpisodeAPI();
  ~EpisodeAPI() override;

  bool with_tvshow_summary = false;
};

class MovieAPI : public VideoAPI {
 public:
  MovieAPI();
  ~MovieAPI() override;

  // Visible movies by rating, highest first; ties by newest creation time,
  // then id. A limit of 0 (or below) gives no movies.
  std::vector<record::Movie> ListTopRating(int limit) const;
  // One visible movie; an invalid record when absent or not visible.
  record::Movie GetInfo(int id) const;
  // Visible movies whose TMDb id is not negative.
  int GetNumMoviesWithTMDbID() const;
  // Visible movies whose TMDb id is listed, in the order of the given ids,
  // each movie once.
  std::vector<record::Movie> ListInTMDb(const std::vector<long long>& tmdb_ids) const;
};

class CollectionAPI : public BaseAPI {
 public:
  CollectionAPI();
  ~CollectionAPI() override;

  bool with_poster_mtime = false;
  bool with_backdrop_mtime = false;
  bool with_summary = false;
  bool with_collection = false;
  bool with_file = false;
  bool with_watched_ratio = false;
  bool with_conversion_produced = false;
  bool with_actor = false;
  bool with_director = false;
  bool with_genre = false;
  bool with_writer = false;
  bool with_extra = false;
  std::string cover_rule;
  bool with_sharing_info = false;
  bool with_filter_info = false;
};

class BackdropAPI : public BaseAPI {
 public:
  BackdropAPI();
  ~BackdropAPI() override;

  // Mapper id of (video id, type name "movie", "tvshow" or "video");
  // negative when there is no such video.
  int GetMapperID(int id, const std::string& type) const;
  // (video id, type name) of a mapper id; (-1, "") when unknown.
  std::pair<int, std::string> GetIDTypeFromMapperID(int mapper_id) const;
  // Downloads an image into the library's private download folder; the
  // local path, or empty on failure (nothing is left behind then).
  std::string DownloadImage(const std::string& url) const;
  // Stores the image file as a backdrop of the video; keep_one drops the
  // video's other backdrops. The new backdrop id, negative on failure.
  int Add(int mapper_id, const std::string& path, bool keep_one) const;
  // Removes every backdrop of the video: non-zero on success (also when
  // there was nothing to remove), 0 when the database failed.
  int DeleteAll(int mapper_id) const;
  // The newest backdrop's bytes (empty when none); `digest` receives the
  // 16-byte MD5 of those bytes.
  std::string GetByMapperID(int mapper_id, std::string& digest) const;
};

class OfflineConversionAPI : public BaseAPI {
 public:
  // uid 0 reaches every user's tasks; any other the user's own. A created
  // task belongs to this uid.
  explicit OfflineConversionAPI(unsigned int uid);
  ~OfflineConversionAPI() override;

  bool with_poster_mtime = false;
  std::string cover_rule;
  bool with_file = false;
  bool with_video = false;
  bool with_produced_file = false;

  void OrderByCtime(BaseAPI::SortOrder order);
  std::vector<record::OfflineConversionTask> List() const;
  // The new task's id (> 0), or <= 0 on failure.
  int Create(record::OfflineConversionSetting& setting) const;
  bool Delete(const std::vector<int>& ids) const;
  bool Stop(const std::vector<int>& ids) const;
  bool Restart(const std::vector<int>& ids) const;
  bool StopAll() const;
  bool RestartAll() const;

 private:
  unsigned int scope_uid_;
  SortOrder order_;
};

}  // namespace api
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_INCLUDE_LIBKINORO_API_H_
