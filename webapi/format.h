// JSON forms of the offline conversion records, as the conversion API answers
// them. Exported: the package's other modules produce the same shapes.
#ifndef KINORO_WEBAPI_FORMAT_H_
#define KINORO_WEBAPI_FORMAT_H_

#include <json/json.h>

#include <memory>

#include "libkinoro/records.h"

namespace velmkr {
namespace webapi {
namespace format {

// {"id", "setting", "status": {"owner", "owner_name", "state", "progress",
// "time_left", "error"}}. The owner's name comes from the user service; an
// unknown owner gets whatever name it answers (empty). A "done" task reports
// a progress of exactly 1.0.
Json::Value OfflineConversionTaskToJson(const LibKinoro::db::record::OfflineConversionTask& task);

// {"file_id", "video_profile", "audio_id", "audio_codec", "additional":
// {"video", "file", "produced_file"}}. The three additional members are
// always present; parts that were not loaded are empty objects.
Json::Value OfflineConversionSettingToJson(
    const LibKinoro::db::record::OfflineConversionSetting& setting);

// The record's own JSON form with "type" set to its type name; an empty
// object for an empty pointer.
Json::Value VideoToJson(const std::shared_ptr<LibKinoro::db::record::BaseVideo>& video);

// The record's own JSON form when it refers to a stored file (id > 0 and a
// path); an empty object otherwise.
Json::Value FileToJson(const LibKinoro::db::record::File& file);

}  // namespace format
}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_FORMAT_H_
