#include "webapi/offline_conversion.h"

#include <strings.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "common/cover_rule.h"
#include "libkinoro/libkinoro.h"
#include "webapi/apivalidator.h"
#include "webapi/format.h"

namespace velmkr {
namespace webapi {

namespace {

constexpr char kSource[] = "offline_conversion";
constexpr int kCreateFailedLine = 143;

using ConversionDb = LibKinoro::db::api::OfflineConversionAPI;

// The profiles a task may be created with, ended by a null entry.
const char* const kVideoProfiles[] = {"original", "high", "medium", "low", nullptr};

// Clients send the profile in any letter case; it is stored as sent.
bool StringIsVideoProfile(const std::string& value) {
  if (value.empty()) return false;
  for (int i = 0; kVideoProfiles[i] != nullptr; ++i) {
    if (strcasecmp(value.c_str(), kVideoProfiles[i]) == 0) return true;
  }
  return false;
}

}  // namespace

OfflineConversionAPI::OfflineConversionAPI(VELM::APIRequest* request, VELM::APIResponse* response)
    : BaseAPI(request, response), login_uid_(request->GetLoginUID()) {}

OfflineConversionAPI::~OfflineConversionAPI() {}

bool OfflineConversionAPI::GetOfflineConversionPrivage() const { return false; }

bool OfflineConversionAPI::ConversionAllowed() const { return GetOfflineConversionPrivage(); }

uint32_t OfflineConversionAPI::GetUID() const { return request_->IsAdmin() ? 0 : login_uid_; }

void OfflineConversionAPI::List_v1() {
  if (!ConversionAllowed()) {
    response_->SetError(105, Json::Value());
    return;
  }

  ConversionDb db(GetUID());
  ParseAdditional();
  const uint32_t flags = additional_flags();
  if (flags & kAdditionalVideo) {
    db.with_poster_mtime = true;
    db.with_video = true;
    // Handed on also when empty: the library then applies no rule.
    db.cover_rule = GetUserPreparedCoverRule();
  }
  if (flags & kAdditionalFile) db.with_file = true;
  if (flags & kAdditionalProducedFile) db.with_produced_file = true;

  db.OrderByCtime(static_cast<LibKinoro::db::api::BaseAPI::SortOrder>(0));
  const std::vector<LibKinoro::db::record::OfflineConversionTask> tasks = db.List();

  Json::Value list(Json::arrayValue);
  for (const LibKinoro::db::record::OfflineConversionTask& task : tasks) {
    list.append(format::OfflineConversionTaskToJson(task));
  }
  Json::Value data(Json::objectValue);
  data["task"] = list;
  response_->SetSuccess(data);
}

void OfflineConversionAPI::Create_v1() {
  if (!ConversionAllowed()) {
    response_->SetError(105, Json::Value());
    return;
  }

  // All three are read before any is checked.
  const VELM::APIParameter<int> file_id =
      request_->GetAndCheckInt("file_id", VELM::PARAM_REQUIRED, apivalidator::IntGreaterZero);
  const VELM::APIParameter<std::string> video_profile =
      request_->GetAndCheckString("video_profile", VELM::PARAM_REQUIRED, StringIsVideoProfile);
  const VELM::APIParameter<int> audio_id =
      request_->GetAndCheckInt("audio_id", VELM::PARAM_OPTIONAL, apivalidator::IntGreaterEqualZero);
  if (file_id.IsInvalid() || video_profile.IsInvalid() || audio_id.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }

  LibKinoro::db::record::OfflineConversionSetting setting;
  setting.file_id = file_id.Get();
  setting.set_video_profile(video_profile.Get());
  // Without "audio_id" the library's default stands.
  if (audio_id.IsSet()) setting.audio_id = audio_id.Get();

  // The login user id, not GetUID(): an administrator's new task is the
  // administrator's own, not one of user 0.
  ConversionDb db(login_uid_);
  const int task_id = db.Create(setting);
  if (task_id > 0) {
    Json::Value data(Json::objectValue);
    data["id"] = task_id;
    response_->SetSuccess(data);
    return;
  }
  response_->SetError(117, Json::Value());
  syslog(LOG_ERR, "%s:%d create failed", kSource, kCreateFailedLine);
}

void OfflineConversionAPI::Delete_v1() { ChangeByIds(&ConversionDb::Delete); }

void OfflineConversionAPI::Stop_v1() { ChangeByIds(&ConversionDb::Stop); }

void OfflineConversionAPI::Restart_v1() { ChangeByIds(&ConversionDb::Restart); }

void OfflineConversionAPI::Stop_All_v1() { ChangeAll(&ConversionDb::StopAll); }

void OfflineConversionAPI::Restart_All_v1() { ChangeAll(&ConversionDb::RestartAll); }

void OfflineConversionAPI::ChangeByIds(ByIdsCall call) {
  if (!ConversionAllowed()) {
    response_->SetError(105, Json::Value());
    return;
  }

  const VELM::APIParameter<Json::Value> ids =
      request_->GetAndCheckArray("id", VELM::PARAM_REQUIRED, apivalidator::JsonIntArrayGreaterZero);
  if (ids.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }

  ConversionDb db(GetUID());
  // An empty array is handed on as it is; the library decides what that
  // means.
  const std::vector<int> task_ids = LibKinoro::db::util::JsonArrayToVector<int>(ids.Get());
  if ((db.*call)(task_ids)) {
    response_->SetSuccess(Json::Value());
  } else {
    response_->SetError(117, Json::Value());
  }
}

void OfflineConversionAPI::ChangeAll(AllCall call) {
  if (!ConversionAllowed()) {
    response_->SetError(105, Json::Value());
    return;
  }

  ConversionDb db(GetUID());
  if ((db.*call)()) {
    response_->SetSuccess(Json::Value());
  } else {
    response_->SetError(117, Json::Value());
  }
}

}  // namespace webapi
}  // namespace velmkr
