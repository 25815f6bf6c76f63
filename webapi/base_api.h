// Base of every API object of the module: the host's request and response
// for one call, and the flags parsed from the common "additional" parameter.
#ifndef KINORO_WEBAPI_BASE_API_H_
#define KINORO_WEBAPI_BASE_API_H_

#include <cstdint>

#include "velm/webapi.h"

namespace velmkr {
namespace webapi {

class BaseAPI {
 public:
  // Flag bits set by ParseAdditional.
  enum AdditionalFlag : uint32_t {
    kAdditionalVideo = 1,
    kAdditionalFile = 2,
    kAdditionalProducedFile = 4,
  };

  // Neither pointer is owned.
  BaseAPI(VELM::APIRequest* request, VELM::APIResponse* response);
  virtual ~BaseAPI();

  // ORs the flags named by the optional "additional" array into the flag
  // word. Unknown names are ignored; nothing is reported to the host.
  void ParseAdditional();

  uint32_t additional_flags() const { return additional_; }

 protected:
  VELM::APIRequest* request_;
  VELM::APIResponse* response_;
  uint32_t additional_;
};

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_BASE_API_H_
