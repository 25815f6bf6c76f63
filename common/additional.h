// Translates a client's "additional" keys (such as "summary" or "file") into
// the part switches of the video database's query objects. Switches are only
// ever turned on; a key a class does not know is ignored.
#ifndef KINORO_COMMON_ADDITIONAL_H_
#define KINORO_COMMON_ADDITIONAL_H_

#include <json/json.h>

#include <string>

#include "common/json_reader.h"
#include "libkinoro/api.h"

namespace Kinoro {
namespace webapi {

// Turns on the switch that `key` names for the class (case-sensitive, whole
// key). "poster_mtime" also hands the prepared cover rule (empty when there
// is none) to the object, except on an AbstractVideoAPI, which has no place
// for one. A MovieAPI takes the VideoAPI overload.
void TurnOnAdditional(const std::string& key, LibKinoro::db::api::CollectionAPI& api);
void TurnOnAdditional(const std::string& key, LibKinoro::db::api::VideoAPI& api);
void TurnOnAdditional(const std::string& key, LibKinoro::db::api::EpisodeAPI& api);
void TurnOnAdditional(const std::string& key, LibKinoro::db::api::AbstractVideoAPI& api);
void TurnOnAdditional(const std::string& key, LibKinoro::db::api::BaseVideoAPI& api);

// Applies a parsed key list: false when it is not an array or an element is
// not a string. Elements before a bad one have already been applied.
template <typename Api>
bool ProcessAdditionalImpl(const Json::Value& list, Api& api) {
  if (!list.isArray()) return false;
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& key = list[i];
    if (!key.isString()) return false;
    TurnOnAdditional(key.asString(), api);
  }
  return true;
}

// Applies a key list given as JSON text. The empty text is an empty list;
// text that does not parse, or is not an array of strings, gives false.
template <typename Api>
bool ProcessAdditionalImpl(const std::string& text, Api& api) {
  if (text.empty()) return true;
  Json::Value list;
  if (!velmkr::webapi::ReadJson(text, list)) return false;
  return ProcessAdditionalImpl(static_cast<const Json::Value&>(list), api);
}

// The exported forms; each forwards to ProcessAdditionalImpl for its class.
bool ProcessAdditional(const std::string& text, LibKinoro::db::api::AbstractVideoAPI& api);
bool ProcessAdditional(const std::string& text, LibKinoro::db::api::BaseVideoAPI& api);
bool ProcessAdditional(const std::string& text, LibKinoro::db::api::EpisodeAPI& api);
bool ProcessAdditional(const std::string& text, LibKinoro::db::api::CollectionAPI& api);
bool ProcessAdditional(const std::string& text, LibKinoro::db::api::VideoAPI& api);
bool ProcessAdditional(const Json::Value& list, LibKinoro::db::api::VideoAPI& api);

}  // namespace webapi
}  // namespace Kinoro

#endif  // KINORO_COMMON_ADDITIONAL_H_
