// Web API host framework: the request, its typed parameters and the answer.
// This is what an API module sees of the host; the host-side construction
// calls at the bottom of each class are for the host and for tests.
#ifndef KINORO_PLATFORM_INCLUDE_VELM_WEBAPI_H_
#define KINORO_PLATFORM_INCLUDE_VELM_WEBAPI_H_

#include <string>

#include <json/json.h>

namespace VELM {

enum PARAM_NECESSITY {
  PARAM_REQUIRED = 0,
  PARAM_OPTIONAL = 1,
};

// One parameter as the module sees it. A parameter is invalid when it is
// required and missing, when it is present but of the wrong JSON kind, or
// when the validator rejects it. Get() on an invalid but present parameter
// yields the converted value (the type's zero value for a kind mismatch).
template <typename T>
class APIParameter {
 public:
  APIParameter();
  APIParameter(bool is_set, bool is_invalid, const T& value);
  APIParameter(const APIParameter& other);
  APIParameter& operator=(const APIParameter& other);
  ~APIParameter();

  bool IsSet() const { return is_set_; }
  bool IsInvalid() const { return is_invalid_; }
  const T& Get() const { return value_; }

 private:
  bool is_set_;
  bool is_invalid_;
  T value_;
};

extern template class APIParameter<int>;
extern template class APIParameter<std::string>;
extern template class APIParameter<bool>;
extern template class APIParameter<Json::Value>;

class APIRequest {
 public:
  typedef bool (*IntValidator)(const int&);
  typedef bool (*StringValidator)(const std::string&);
  typedef bool (*BoolValidator)(const bool&);
  typedef bool (*ArrayValidator)(const Json::Value&);

  // Host side. `params` is an object of parameter name to JSON value, already
  // converted from the wire (a raw value that parses as JSON is that value,
  // any other raw value is a string of the raw text).
  APIRequest(const std::string& api, int version, const std::string& method,
             const Json::Value& params, unsigned int login_uid, bool is_admin);
  ~APIRequest();

  APIParameter<int> GetAndCheckInt(const std::string& name, PARAM_NECESSITY necessity,
                                   IntValidator validator) const;
  APIParameter<std::string> GetAndCheckString(const std::string& name,
                                              PARAM_NECESSITY necessity,
                                              StringValidator validator) const;
  APIParameter<bool> GetAndCheckBool(const std::string& name, PARAM_NECESSITY necessity,
                                     BoolValidator validator) const;
  APIParameter<Json::Value> GetAndCheckArray(const std::string& name,
                                             PARAM_NECESSITY necessity,
                                             ArrayValidator validator) const;

  unsigned int GetLoginUID() const;
  bool IsAdmin() const;

  const std::string& GetAPIName() const { return api_; }
  int GetAPIVersion() const { return version_; }
  const std::string& GetAPIMethod() const { return method_; }
  const Json::Value& GetParams() const { return params_; }

 private:
  std::string api_;
  int version_;
  std::string method_;
  Json::Value params_;
  unsigned int login_uid_;
  bool is_admin_;
};

class APIResponse {
 public:
  APIResponse();
  ~APIResponse();

  void SetSuccess(const Json::Value& data);
  void SetError(int code, const Json::Value& data);
  void SetEnableOutput(bool enable);

  // Host side: what the method answered.
  bool IsAnswered() const { return answered_; }
  bool IsSuccess() const { return success_; }
  int GetErrorCode() const { return error_code_; }
  const Json::Value& GetData() const { return data_; }
  bool IsOutputEnabled() const { return output_enabled_; }
  // The JSON envelope: {"success": true, "data": ...} (no "data" when null)
  // or {"success": false, "error": {"code": N}}.
  Json::Value ToEnvelope() const;

 private:
  bool answered_;
  bool success_;
  int error_code_;
  Json::Value data_;
  bool output_enabled_;
};

}  // namespace VELM

#endif  // KINORO_PLATFORM_INCLUDE_VELM_WEBAPI_H_
