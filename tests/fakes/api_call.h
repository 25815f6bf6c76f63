// Runs one entry function of the module the way the host does, for tests.
#ifndef KINORO_TESTS_FAKES_API_CALL_H_
#define KINORO_TESTS_FAKES_API_CALL_H_

#include <string>

#include <json/json.h>

#include "velm/api_table.h"
#include "velm/webapi.h"

namespace fake {

// Parses a JSON text of test parameters; a test with a malformed literal fails loudly.
inline Json::Value Params(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  if (!reader.parse(text, value)) throw std::runtime_error("bad test params: " + text);
  return value;
}

struct CallResult {
  bool success = false;
  int error_code = 0;
  Json::Value data;
};

inline CallResult Call(APIMethodHandler handler, const Json::Value& params,
                       unsigned int uid = 1026, bool admin = false) {
  VELM::APIRequest request("test", 1, "test", params, uid, admin);
  VELM::APIResponse response;
  handler(&request, &response);
  CallResult result;
  result.success = response.IsSuccess();
  result.error_code = response.GetErrorCode();
  result.data = response.GetData();
  return result;
}

}  // namespace fake

#endif  // KINORO_TESTS_FAKES_API_CALL_H_
