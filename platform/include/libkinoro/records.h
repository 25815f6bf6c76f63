// Records of the video database library: plain values copied into and out of
// vectors. Each record's JSON form is its AsJson().
#ifndef KINORO_PLATFORM_INCLUDE_LIBKINORO_RECORDS_H_
#define KINORO_PLATFORM_INCLUDE_LIBKINORO_RECORDS_H_

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

namespace velmdbquery {

// Marker bases of the query layer: a record that can be inserted or updated.
class Insertable {
 public:
  virtual ~Insertable();
};

class Updatable {
 public:
  virtual ~Updatable();
};

}  // namespace velmdbquery

namespace LibKinoro {

enum _VIDEO_TYPE_ {
  VIDEO_TYPE_NONE = 0,
  VIDEO_TYPE_MOVIE = 1,
  VIDEO_TYPE_TVSHOW = 2,
  VIDEO_TYPE_TVSHOW_EPISODE = 3,
  VIDEO_TYPE_HOME_VIDEO = 4,
};

namespace proto {

// Wire forms shared with the conversion service.
struct ConversionStatus {
  int state = 0;  // one of the ConversionState values
  double progress = 0.0;
  int time_left = 0;
  int error = 0;
};

enum ConversionState {
  CONVERSION_WAITING = 0,
  CONVERSION_CONVERTING = 1,
  CONVERSION_DONE = 2,
  CONVERSION_ERROR = 3,
  CONVERSION_STOPPED = 4,
};

struct Video {
  int id = 0;
  int type = VIDEO_TYPE_NONE;
  int mapper_id = 0;
  int library_id = 0;
  std::string title;
};

}  // namespace proto

namespace db {
namespace record {

class File {
 public:
  int id = 0;
  int video_mapper_id = 0;
  std::string path;  // volume path
  long long size = 0;
  double duration = 0.0;

  // {"id", "path", "size", "duration"}
  Json::Value AsJson() const;
};

class Library {
 public:
  int id = 0;
  std::string title;
  std::string type;  // "movie", "tvshow", "home_video"
  bool is_public = false;
  std::vector<unsigned int> users;
  std::string create_time;

  // {"id", "title", "type", "public"}
  Json::Value AsJson() const;
};

class AbstractVideo : public velmdbquery::Insertable {
 public:
  AbstractVideo();
  ~AbstractVideo() override;

  // A record that was found; a failed lookup gives one with id 0.
  bool IsValid() const;

  int id = 0;
  int mapper_id = 0;
  int library_id = 0;
  std::string title;
  std::string sort_title;
  std::string original_available;
  std::string create_time;
  // The optional parts a query was asked for ("summary", "file", ...), keyed
  // as clients name them; AsJson() puts it under "additional" when not empty.
  Json::Value additional;
};

class BaseVideo : public AbstractVideo, public velmdbquery::Updatable {
 public:
  ~BaseVideo() override;

  virtual std::string full_title() const;
  virtual std::string type_name() const;
  virtual Json::Value AsJson() const;
};

class Video : public BaseVideo {
 public:
  ~Video() override;

  double rating = -1.0;  // negative when unrated
  std::string certificate;
};

class Movie : public Video {
 public:
  ~Movie() override;

  std::string type_name() const override;  // "movie"
  Json::Value AsJson() const override;

  long long tmdb_id = -1;  // negative when the movie has none
  std::string imdb_id;
};

class TVShow : public Video {
 public:
  ~TVShow() override;
  std::string type_name() const override;  // "tvshow"
};

class TVShowEpisode : public Video {
 public:
  ~TVShowEpisode() override;
  std::string type_name() const override;  // "tvshow_episode"
  std::string full_title() const override;
  Json::Value AsJson() const override;

  int tvshow_id = 0;
  int season = 0;
  int episode = 0;
};

class HomeVideo : public Video {
 public:
  ~HomeVideo() override;
  std::string type_name() const override;  // "home_video"
};

class Collection {
 public:
  int id = 0;
  std::string title;
  Json::Value additional;
  Json::Value AsJson() const;
};

class OfflineConversionStatus {
 public:
  OfflineConversionStatus();
  explicit OfflineConversionStatus(const proto::ConversionStatus& status);

  // "waiting", "converting", "done", "error" or "stopped".
  std::string GetStatusString() const;
  int error() const { return status_.error; }
  double progress() const { return status_.progress; }
  int time_left() const { return status_.time_left; }
  const proto::ConversionStatus& proto() const { return status_; }

 private:
  proto::ConversionStatus status_;
};

class OfflineConversionSetting {
 public:
  OfflineConversionSetting();

  const std::string& video_profile() const { return video_profile_; }
  void set_video_profile(const std::string& profile) { video_profile_ = profile; }

  int file_id = 0;
  int audio_id = 0;
  std::shared_ptr<BaseVideo> video;  // empty unless asked for
  File file;                         // id 0 unless asked for
  File produced_file;                // id 0 unless asked for and produced

 private:
  std::string video_profile_;
};

class OfflineConversionTask {
 public:
  int id = 0;
  unsigned int uid = 0;  // owner
  std::string create_time;
  OfflineConversionStatus status;
  OfflineConversionSetting setting;
};

}  // namespace record
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_INCLUDE_LIBKINORO_RECORDS_H_
