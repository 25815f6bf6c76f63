#include "common/additional.h"

#include "common/cover_rule.h"

namespace Kinoro {
namespace webapi {

namespace {

using LibKinoro::db::api::AbstractVideoAPI;
using LibKinoro::db::api::BaseVideoAPI;
using LibKinoro::db::api::CollectionAPI;
using LibKinoro::db::api::EpisodeAPI;
using LibKinoro::db::api::VideoAPI;

// One key and the switch it turns on; tables end with a null key.
template <typename Api>
struct SwitchRow {
  const char* key;
  bool Api::*flag;
};

constexpr char kPosterMtime[] = "poster_mtime";

// Poster rows stay out of these tables: they carry the cover rule hand-over,
// which differs by class.
const SwitchRow<AbstractVideoAPI> kAbstractVideoSwitches[] = {
    {"summary", &AbstractVideoAPI::with_summary},
    {"backdrop_mtime", &AbstractVideoAPI::with_backdrop_mtime},
    {nullptr, nullptr},
};

const SwitchRow<BaseVideoAPI> kBaseVideoSwitches[] = {
    {"summary", &BaseVideoAPI::with_summary},
    {"backdrop_mtime", &BaseVideoAPI::with_backdrop_mtime},
    {"file", &BaseVideoAPI::with_file},
    {"collection", &BaseVideoAPI::with_collection},
    {"watched_ratio", &BaseVideoAPI::with_watched_ratio},
    {"conversion_produced", &BaseVideoAPI::with_conversion_produced},
    {nullptr, nullptr},
};

const SwitchRow<VideoAPI> kVideoSwitches[] = {
    {"summary", &VideoAPI::with_summary},
    {"backdrop_mtime", &VideoAPI::with_backdrop_mtime},
    {"file", &VideoAPI::with_file},
    {"collection", &VideoAPI::with_collection},
    {"watched_ratio", &VideoAPI::with_watched_ratio},
    {"conversion_produced", &VideoAPI::with_conversion_produced},
    {"actor", &VideoAPI::with_actor},
    {"director", &VideoAPI::with_director},
    {"genre", &VideoAPI::with_genre},
    {"writer", &VideoAPI::with_writer},
    {"extra", &VideoAPI::with_extra},
    {nullptr, nullptr},
};

const SwitchRow<CollectionAPI> kCollectionSwitches[] = {
    {"summary", &CollectionAPI::with_summary},
    {"backdrop_mtime", &CollectionAPI::with_backdrop_mtime},
    {"file", &CollectionAPI::with_file},
    {"collection", &CollectionAPI::with_collection},
    {"watched_ratio", &CollectionAPI::with_watched_ratio},
    {"conversion_produced", &CollectionAPI::with_conversion_produced},
    {"actor", &CollectionAPI::with_actor},
    {"director", &CollectionAPI::with_director},
    {"genre", &CollectionAPI::with_genre},
    {"writer", &CollectionAPI::with_writer},
    {"extra", &CollectionAPI::with_extra},
    {"sharing_info", &CollectionAPI::with_sharing_info},
    {"filter_info", &CollectionAPI::with_filter_info},
    {nullptr, nullptr},
};

template <typename Api>
void ApplyRow(const SwitchRow<Api>* rows, const std::string& key, Api& api) {
  for (const SwitchRow<Api>* row = rows; row->key != nullptr; ++row) {
    if (key == row->key) {
      api.*(row->flag) = true;
      return;
    }
  }
}

// Every "poster_mtime" hands the rule over again, an empty one included, so
// the query object never keeps a rule from before.
void TurnOnPoster(BaseVideoAPI& api) {
  api.with_poster_mtime = true;
  api.WithCoverRule(GetUserPreparedCoverRule());
}

}  // namespace

void TurnOnAdditional(const std::string& key, CollectionAPI& api) {
  if (key == kPosterMtime) {
    api.with_poster_mtime = true;
    api.cover_rule = GetUserPreparedCoverRule();
    return;
  }
  ApplyRow(kCollectionSwitches, key, api);
}

void TurnOnAdditional(const std::string& key, VideoAPI& api) {
  if (key == kPosterMtime) {
    TurnOnPoster(api);
    return;
  }
  ApplyRow(kVideoSwitches, key, api);
}

void TurnOnAdditional(const std::string& key, EpisodeAPI& api) {
  TurnOnAdditional(key, static_cast<VideoAPI&>(api));
  if (key == "tvshow_summary") api.with_tvshow_summary = true;
}

void TurnOnAdditional(const std::string& key, AbstractVideoAPI& api) {
  if (key == kPosterMtime) {
    api.with_poster_mtime = true;
    return;
  }
  ApplyRow(kAbstractVideoSwitches, key, api);
}

void TurnOnAdditional(const std::string& key, BaseVideoAPI& api) {
  if (key == kPosterMtime) {
    TurnOnPoster(api);
    return;
  }
  ApplyRow(kBaseVideoSwitches, key, api);
}

bool ProcessAdditional(const std::string& text, AbstractVideoAPI& api) {
  return ProcessAdditionalImpl(text, api);
}

bool ProcessAdditional(const std::string& text, BaseVideoAPI& api) {
  return ProcessAdditionalImpl(text, api);
}

bool ProcessAdditional(const std::string& text, EpisodeAPI& api) {
  return ProcessAdditionalImpl(text, api);
}

bool ProcessAdditional(const std::string& text, CollectionAPI& api) {
  return ProcessAdditionalImpl(text, api);
}

bool ProcessAdditional(const std::string& text, VideoAPI& api) {
  return ProcessAdditionalImpl(text, api);
}

bool ProcessAdditional(const Json::Value& list, VideoAPI& api) {
  return ProcessAdditionalImpl(list, api);
}

}  // namespace webapi
}  // namespace Kinoro
