#include "webapi/across_library.h"

#include <string>
#include <vector>

#include "libkinoro/api.h"

namespace velmkr {
namespace webapi {

namespace {

// Accepted "policy" values of "list_library", ended by a null entry.
const char* const kLibraryPolicies[] = {"recently_added", nullptr};

bool IsListed(const char* const* list, const std::string& value) {
  for (int i = 0; list[i] != nullptr; ++i) {
    if (value == list[i]) return true;
  }
  return false;
}

bool StringIsLibraryPolicy(const std::string& value) {
  return IsListed(kLibraryPolicies, value);
}

}  // namespace

AcrossLibraryAPI::AcrossLibraryAPI(VELM::APIRequest* request, VELM::APIResponse* response)
    : BaseAPI(request, response) {}

AcrossLibraryAPI::~AcrossLibraryAPI() {}

void AcrossLibraryAPI::ListLibrary_v1() {
  VELM::APIParameter<std::string> policy =
      request_->GetAndCheckString("policy", VELM::PARAM_REQUIRED, StringIsLibraryPolicy);
  if (policy.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }

  LibKinoro::db::api::LibraryAPI library_api;
  const unsigned int uid = request_->GetLoginUID();
  const bool admin = request_->IsAdmin();
  library_api.AsUser(uid, admin);

  std::vector<LibKinoro::db::record::Library> libraries;
  if (policy.Get() == "recently_added") {
    libraries = library_api.ListOrderByVideoCTime();
  } else {
    // Unreachable while the validator and the dispatch list the same
    // policies; kept so that a policy added to one list only is caught.
    response_->SetError(101, Json::Value());
    return;
  }

  Json::Value list(Json::arrayValue);
  for (const LibKinoro::db::record::Library& library : libraries) {
    list.append(library.AsJson());
  }
  Json::Value data(Json::objectValue);
  data["total"] = static_cast<Json::UInt>(list.size());
  data["libraries"] = list;
  response_->SetSuccess(data);
}

}  // namespace webapi
}  // namespace velmkr
