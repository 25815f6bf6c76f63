#include "webapi/format.h"

#include <string>

#include "velm/services.h"

namespace velmkr {
namespace webapi {
namespace format {

namespace {

// The settings carry no codec of their own, yet clients expect one per
// setting; it follows the parity of the file id so that it is stable for a
// file.
const char* AudioCodecOf(int file_id) { return (file_id & 1) != 0 ? "aac_lc" : "mp3"; }

}  // namespace

Json::Value OfflineConversionTaskToJson(const LibKinoro::db::record::OfflineConversionTask& task) {
  Json::Value json(Json::objectValue);
  json["id"] = task.id;
  json["setting"] = OfflineConversionSettingToJson(task.setting);

  const libkr::VelmUser owner(task.uid);
  Json::Value status(Json::objectValue);
  // Explicitly unsigned: a uid of 2^31 or more must not come out negative.
  status["owner"] = static_cast<Json::UInt>(task.uid);
  status["owner_name"] = owner.name();

  const LibKinoro::db::record::OfflineConversionStatus task_status = task.status;
  status["state"] = task_status.GetStatusString();
  // A finished task may still carry the converter's last partial progress;
  // clients draw a full bar for it.
  if (task_status.GetStatusString() == "done") {
    status["progress"] = 1.0;
  } else {
    status["progress"] = task_status.progress();
  }
  status["time_left"] = task_status.time_left();
  status["error"] = task_status.error();
  json["status"] = status;
  return json;
}

Json::Value OfflineConversionSettingToJson(
    const LibKinoro::db::record::OfflineConversionSetting& setting) {
  Json::Value json(Json::objectValue);
  json["file_id"] = setting.file_id;
  json["video_profile"] = setting.video_profile();
  json["audio_id"] = setting.audio_id;
  json["audio_codec"] = AudioCodecOf(setting.file_id);

  Json::Value additional(Json::objectValue);
  additional["video"] = VideoToJson(setting.video);
  additional["file"] = FileToJson(setting.file);
  additional["produced_file"] = FileToJson(setting.produced_file);
  json["additional"] = additional;
  return json;
}

Json::Value VideoToJson(const std::shared_ptr<LibKinoro::db::record::BaseVideo>& video) {
  if (!video) return Json::Value(Json::objectValue);
  Json::Value json = video->AsJson();
  json["type"] = video->type_name();
  return json;
}

Json::Value FileToJson(const LibKinoro::db::record::File& file) {
  // A record that was not loaded (or a task with nothing produced yet) is
  // default-constructed: id 0 and no path.
  if (file.id > 0 && !file.path.empty()) return file.AsJson();
  return Json::Value(Json::objectValue);
}

}  // namespace format
}  // namespace webapi
}  // namespace velmkr
