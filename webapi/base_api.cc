#include "webapi/base_api.h"

#include <string>
#include <vector>

#include "libkinoro/util.h"

namespace velmkr {
namespace webapi {

BaseAPI::BaseAPI(VELM::APIRequest* request, VELM::APIResponse* response)
    : request_(request), response_(response), additional_(0) {}

BaseAPI::~BaseAPI() {}

void BaseAPI::ParseAdditional() {
  // The parameter's invalid state is not consulted: whatever strings the
  // value holds are taken, and flags are only ever added.
  VELM::APIParameter<Json::Value> additional =
      request_->GetAndCheckArray("additional", VELM::PARAM_OPTIONAL, nullptr);
  if (!additional.IsSet()) return;

  static const struct {
    const char* name;
    uint32_t flag;
  } kFlags[] = {
      {"video", kAdditionalVideo},
      {"file", kAdditionalFile},
      {"produced_file", kAdditionalProducedFile},
      {nullptr, 0},
  };
  const std::vector<std::string> names =
      LibKinoro::db::util::JsonArrayToVector<std::string>(additional.Get());
  for (const std::string& name : names) {
    for (int i = 0; kFlags[i].name != nullptr; ++i) {
      if (name == kFlags[i].name) {
        additional_ |= kFlags[i].flag;
        break;
      }
    }
  }
}

}  // namespace webapi
}  // namespace velmkr
