// Record methods and the pure helpers of the database library. Nothing here
// touches SQLite, so test doubles of the access objects can reuse it.
#include "libkinoro/records.h"

#include "libkinoro/util.h"

namespace velmdbquery {
Insertable::~Insertable() = default;
Updatable::~Updatable() = default;
}  // namespace velmdbquery

namespace LibKinoro {

std::string VideoTypeGetName(_VIDEO_TYPE_ type) {
  switch (type) {
    case VIDEO_TYPE_MOVIE:
      return "movie";
    case VIDEO_TYPE_TVSHOW:
      return "tvshow";
    case VIDEO_TYPE_TVSHOW_EPISODE:
      return "tvshow_episode";
    case VIDEO_TYPE_HOME_VIDEO:
      return "home_video";
    default:
      return "";
  }
}

namespace db {
namespace util {

template <>
std::vector<int> JsonArrayToVector<int>(const Json::Value& value) {
  std::vector<int> out;
  if (!value.isArray()) return out;
  out.reserve(value.size());
  for (const Json::Value& element : value) {
    if (element.isInt()) out.push_back(element.asInt());
  }
  return out;
}

template <>
std::vector<std::string> JsonArrayToVector<std::string>(const Json::Value& value) {
  std::vector<std::string> out;
  if (!value.isArray()) return out;
  out.reserve(value.size());
  for (const Json::Value& element : value) {
    if (element.isString()) out.push_back(element.asString());
  }
  return out;
}

}  // namespace util

namespace record {

Json::Value File::AsJson() const {
  Json::Value json(Json::objectValue);
  json["id"] = id;
  json["path"] = path;
  json["size"] = static_cast<Json::Int64>(size);
  json["duration"] = duration;
  return json;
}

Json::Value Library::AsJson() const {
  Json::Value json(Json::objectValue);
  json["id"] = id;
  json["title"] = title;
  json["type"] = type;
  json["public"] = is_public;
  return json;
}

AbstractVideo::AbstractVideo() = default;
AbstractVideo::~AbstractVideo() = default;

bool AbstractVideo::IsValid() const { return id > 0; }

BaseVideo::~BaseVideo() = default;

std::string BaseVideo::full_title() const { return title; }

std::string BaseVideo::type_name() const { return ""; }

Json::Value BaseVideo::AsJson() const {
  Json::Value json(Json::objectValue);
  json["id"] = id;
  json["mapper_id"] = mapper_id;
  json["library_id"] = library_id;
  json["title"] = title;
  json["sort_title"] = sort_title;
  json["original_available"] = original_available;
  json["create_time"] = create_time;
  json["type"] = type_name();
  if (additional.isObject() && !additional.empty()) json["additional"] = additional;
  return json;
}

Video::~Video() = default;

Movie::~Movie() = default;

std::string Movie::type_name() const { return "movie"; }

Json::Value Movie::AsJson() const {
  Json::Value json = BaseVideo::AsJson();
  json["rating"] = rating;
  json["tmdb_id"] = static_cast<Json::Int64>(tmdb_id);
  json["imdb_id"] = imdb_id;
  json["certificate"] = certificate;
  return json;
}

TVShow::~TVShow() = default;
std::string TVShow::type_name() const { return "tvshow"; }

TVShowEpisode::~TVShowEpisode() = default;
std::string TVShowEpisode::type_name() const { return "tvshow_episode"; }

std::string TVShowEpisode::full_title() const {
  return title + " S" + std::to_string(season) + "E" + std::to_string(episode);
}

Json::Value TVShowEpisode::AsJson() const {
  Json::Value json = BaseVideo::AsJson();
  json["tvshow_id"] = tvshow_id;
  json["season"] = season;
  json["episode"] = episode;
  return json;
}

HomeVideo::~HomeVideo() = default;
std::string HomeVideo::type_name() const { return "home_video"; }

Json::Value Collection::AsJson() const {
  Json::Value json(Json::objectValue);
  json["id"] = id;
  json["title"] = title;
  if (additional.isObject() && !additional.empty()) json["additional"] = additional;
  return json;
}

OfflineConversionStatus::OfflineConversionStatus() = default;

OfflineConversionStatus::OfflineConversionStatus(const proto::ConversionStatus& status)
    : status_(status) {}

std::string OfflineConversionStatus::GetStatusString() const {
  switch (status_.state) {
    case proto::CONVERSION_WAITING:
      return "waiting";
    case proto::CONVERSION_CONVERTING:
      return "converting";
    case proto::CONVERSION_DONE:
      return "done";
    case proto::CONVERSION_ERROR:
      return "error";
    case proto::CONVERSION_STOPPED:
      return "stopped";
    default:
      return "error";
  }
}

OfflineConversionSetting::OfflineConversionSetting() = default;

}  // namespace record
}  // namespace db
}  // namespace LibKinoro
