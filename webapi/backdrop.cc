#include "webapi/backdrop.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "common/backup_utils.h"
#include "common/log_value.h"
#include "common/path_utils.h"
#include "kinoro/root.h"
#include "velm/services.h"
#include "webapi/apivalidator.h"

namespace velmkr {
namespace webapi {

namespace {

const char kSource[] = "backdrop";
const char kMetadataDaemonPidFile[] = KINORO_PATH("/var/run/velmvideometadatad.pid");
const int kMetadataDaemonSignal = 10;
const char kNotFoundAnswer[] = "Status: 404 Not Found\r\n\r\n";

bool StringIsVideoType(const std::string& type) {
  return type == "movie" || type == "tvshow" || type == "video";
}

}  // namespace

std::string GetFullPath(std::string share_path) {
  if (share_path.empty()) return "";
  const std::string rest = share_path.substr(1);
  const std::string::size_type slash = rest.find('/');
  if (slash == std::string::npos) {
    syslog(LOG_ERR, "%s:%d not found", kSource, 78);
    return "";
  }
  return VELMKinoro::GetFullPath(rest.substr(0, slash), rest.substr(slash + 1));
}

FileSource::FileSource(const std::string& url, const std::string& share_path)
    : url_(url), share_path_(share_path), downloaded_(false) {}

FileSource::~FileSource() {
  // Only a download is ours to remove; a share file is the user's.
  if (downloaded_ && !image_path_.empty()) unlink(image_path_.c_str());
}

bool FileSource::Process(const LibKinoro::db::api::BackdropAPI& backdrop_api) {
  if (!image_path_.empty()) return true;
  if (!url_.empty()) {
    image_path_ = backdrop_api.DownloadImage(url_);
    if (!image_path_.empty()) {
      downloaded_ = true;
      return true;
    }
    syslog(LOG_ERR, "%s:%d DownloadImage failed %s", kSource, 104, LogValue(url_).c_str());
    return false;
  }
  if (share_path_.empty()) return false;
  image_path_ = GetFullPath(share_path_);
  if (!image_path_.empty()) return true;
  syslog(LOG_ERR, "%s:%d GetFullPath failed %s", kSource, 114, LogValue(share_path_).c_str());
  return false;
}

IDSource::IDSource(int id, const std::string& type, int mapper_id)
    : id_(id), type_(type), mapper_id_(mapper_id) {}

bool IDSource::Process(const LibKinoro::db::api::BackdropAPI& backdrop_api) {
  return ProcessMapperID(backdrop_api) && ProcessID(backdrop_api);
}

bool IDSource::ProcessMapperID(const LibKinoro::db::api::BackdropAPI& backdrop_api) {
  if (mapper_id_ > 0) return true;
  const int mapper_id = backdrop_api.GetMapperID(id_, type_);
  if (mapper_id < 0) {
    syslog(LOG_ERR, "%s:%d GetMapperID failed", kSource, 147);
    return false;
  }
  mapper_id_ = mapper_id;
  return true;
}

bool IDSource::ProcessID(const LibKinoro::db::api::BackdropAPI& backdrop_api) {
  if (id_ > 0 && !type_.empty()) return true;
  const std::pair<int, std::string> id_type = backdrop_api.GetIDTypeFromMapperID(mapper_id_);
  id_ = id_type.first;
  type_ = id_type.second;
  return id_ >= 1 && !type_.empty();
}

BackdropAPI::BackdropAPI(VELM::APIRequest* request, VELM::APIResponse* response)
    : BaseAPI(request, response) {}

BackdropAPI::~BackdropAPI() {}

void BackdropAPI::Add_v1() {
  using namespace apivalidator;
  const VELM::APIParameter<std::string> url =
      request_->GetAndCheckString("url", VELM::PARAM_OPTIONAL, StringNotEmpty);
  const VELM::APIParameter<std::string> share_path =
      request_->GetAndCheckString("sharepath", VELM::PARAM_OPTIONAL, StringNotEmpty);
  const VELM::APIParameter<int> mapper_id =
      request_->GetAndCheckInt("mapper_id", VELM::PARAM_OPTIONAL, IntGreaterZero);
  const VELM::APIParameter<int> id =
      request_->GetAndCheckInt("id", VELM::PARAM_OPTIONAL, IntGreaterZero);
  const VELM::APIParameter<std::string> type =
      request_->GetAndCheckString("type", VELM::PARAM_OPTIONAL, StringIsVideoType);
  const VELM::APIParameter<bool> keep_one =
      request_->GetAndCheckBool("keep_one", VELM::PARAM_OPTIONAL, nullptr);
  if (url.IsInvalid() || share_path.IsInvalid() || keep_one.IsInvalid() ||
      mapper_id.IsInvalid() || id.IsInvalid() || type.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }

  FileSource file_source(url.IsSet() ? url.Get() : "", share_path.IsSet() ? share_path.Get() : "");
  IDSource id_source(id.IsSet() ? id.Get() : -1, type.IsSet() ? type.Get() : "",
                     mapper_id.IsSet() ? mapper_id.Get() : -1);
  LibKinoro::db::api::BackdropAPI backdrop_api;

  if (!file_source.Process(backdrop_api)) {
    syslog(LOG_ERR, "%s:%d file_source Process failed", kSource, 201);
    response_->SetError(117, Json::Value());
    return;
  }
  if (!id_source.Process(backdrop_api)) {
    syslog(LOG_ERR, "%s:%d id_source Process failed", kSource, 207);
    response_->SetError(117, Json::Value());
    return;
  }

  const bool keep = keep_one.IsSet() ? keep_one.Get() : false;
  const int backdrop_id = backdrop_api.Add(id_source.mapper_id(), file_source.image_path(), keep);
  if (backdrop_id < 0) {
    response_->SetError(117, Json::Value());
    return;
  }

  // The backup and the daemon's wake-up are best effort: the image is stored.
  if (Kinoro::WriteBackupTaskToQueue(id_source.type(), id_source.id())) {
    VLIBCProcSignalByPidFile(kMetadataDaemonPidFile, kMetadataDaemonSignal);
  }

  Json::Value data(Json::objectValue);
  data["id"] = backdrop_id;
  response_->SetSuccess(data);
}

void BackdropAPI::Get_v1() {
  LibKinoro::db::api::BackdropAPI backdrop_api;
  // From here on the answer is ours to write, on every path.
  response_->SetEnableOutput(false);

  const VELM::APIParameter<int> mapper_id =
      request_->GetAndCheckInt("mapper_id", VELM::PARAM_REQUIRED, apivalidator::IntGreaterZero);
  if (mapper_id.IsInvalid()) {
    syslog(LOG_ERR, "%s:%d input parameter is not valid", kSource, 240);
    Output404NotFound();
    return;
  }

  std::string digest;
  const std::string image = backdrop_api.GetByMapperID(mapper_id.Get(), digest);
  if (image.empty()) {
    Output404NotFound();
    return;
  }

  const std::string etag = CreateCGIETag(digest);
  if (!etag.empty()) {
    std::printf("ETag: %s\r\n", etag.c_str());
  } else {
    std::fputs("Cache-Control: max-age=172800, must-revalidate\r\n", stdout);
  }
  std::printf("Content-Length: %zu\r\n", image.size());
  std::fputs("Content-Type: image/jpeg\r\n", stdout);
  std::fputs("\r\n", stdout);
  std::fwrite(image.data(), 1, image.size(), stdout);
  std::fflush(stdout);
}

void BackdropAPI::Delete_All_v1() {
  LibKinoro::db::api::BackdropAPI backdrop_api;
  const VELM::APIParameter<int> mapper_id =
      request_->GetAndCheckInt("mapper_id", VELM::PARAM_REQUIRED, apivalidator::IntGreaterZero);
  if (mapper_id.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }
  if (backdrop_api.DeleteAll(mapper_id.Get()) != 0) {
    response_->SetSuccess(Json::Value());
  } else {
    response_->SetError(117, Json::Value());
  }
}

void BackdropAPI::Output404NotFound() {
  std::fwrite(kNotFoundAnswer, 1, sizeof(kNotFoundAnswer) - 1, stdout);
  std::fflush(stdout);
}

std::string BackdropAPI::CreateCGIETag(const std::string& digest) {
  if (digest.size() < 16) return "";
  char buffer[128] = {0};
  const unsigned char* d = reinterpret_cast<const unsigned char*>(digest.data());
  std::snprintf(buffer, sizeof(buffer), "%x%x%x%x-%x%x%x%x-%x%x%x%x-%x%x%x%x", d[0], d[1], d[2],
                d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
  return buffer;
}

}  // namespace webapi
}  // namespace velmkr
