// The host's request, parameter and response objects. A module reads its
// parameters through the typed getters below; the kind rules decide whether
// a given value is usable, and the validator only ever sees usable values.
#include "velm/webapi.h"

#include <limits>
#include <utility>

namespace VELM {

template <typename T>
APIParameter<T>::APIParameter() : is_set_(false), is_invalid_(false), value_() {}

template <typename T>
APIParameter<T>::APIParameter(bool is_set, bool is_invalid, const T& value)
    : is_set_(is_set), is_invalid_(is_invalid), value_(value) {}

template <typename T>
APIParameter<T>::APIParameter(const APIParameter& other)
    : is_set_(other.is_set_), is_invalid_(other.is_invalid_), value_(other.value_) {}

template <typename T>
APIParameter<T>& APIParameter<T>::operator=(const APIParameter& other) {
  is_set_ = other.is_set_;
  is_invalid_ = other.is_invalid_;
  value_ = other.value_;
  return *this;
}

template <typename T>
APIParameter<T>::~APIParameter() = default;

template class APIParameter<int>;
template class APIParameter<std::string>;
template class APIParameter<bool>;
template class APIParameter<Json::Value>;

namespace {

// Each Convert* returns false when the JSON kind does not fit T; `out` is then
// left at T's zero value.
bool ConvertInt(const Json::Value& v, int* out) {
  // Only integers written as integers count: jsoncpp's isInt() would also
  // accept 2.0 or 1e3, which a client did not send as an integer.
  if (v.type() == Json::intValue) {
    Json::Int64 n = v.asInt64();
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max()) return false;
    *out = static_cast<int>(n);
    return true;
  }
  if (v.type() == Json::uintValue) {
    Json::UInt64 n = v.asUInt64();
    if (n > static_cast<Json::UInt64>(std::numeric_limits<int>::max())) return false;
    *out = static_cast<int>(n);
    return true;
  }
  return false;
}

bool ConvertString(const Json::Value& v, std::string* out) {
  if (!v.isString()) return false;
  *out = v.asString();
  return true;
}

bool ConvertBool(const Json::Value& v, bool* out) {
  if (!v.isBool()) return false;
  *out = v.asBool();
  return true;
}

bool ConvertArray(const Json::Value& v, Json::Value* out) {
  if (!v.isArray()) return false;
  *out = v;
  return true;
}

template <typename T, typename Converter, typename Validator>
APIParameter<T> GetAndCheck(const Json::Value& params, const std::string& name,
                            PARAM_NECESSITY necessity, Converter convert, Validator validator) {
  const Json::Value* raw =
      params.isObject() ? params.find(name.data(), name.data() + name.size()) : nullptr;
  if (raw == nullptr) {
    return APIParameter<T>(false, necessity == PARAM_REQUIRED, T());
  }
  T value = T();
  if (!convert(*raw, &value)) {
    return APIParameter<T>(true, true, T());
  }
  bool invalid = validator != nullptr && !validator(value);
  return APIParameter<T>(true, invalid, value);
}

}  // namespace

APIRequest::APIRequest(const std::string& api, int version, const std::string& method,
                       const Json::Value& params, unsigned int login_uid, bool is_admin)
    : api_(api),
      version_(version),
      method_(method),
      params_(params),
      login_uid_(login_uid),
      is_admin_(is_admin) {}

APIRequest::~APIRequest() = default;

APIParameter<int> APIRequest::GetAndCheckInt(const std::string& name, PARAM_NECESSITY necessity,
                                             IntValidator validator) const {
  return GetAndCheck<int>(params_, name, necessity, ConvertInt, validator);
}

APIParameter<std::string> APIRequest::GetAndCheckString(const std::string& name,
                                                        PARAM_NECESSITY necessity,
                                                        StringValidator validator) const {
  return GetAndCheck<std::string>(params_, name, necessity, ConvertString, validator);
}

APIParameter<bool> APIRequest::GetAndCheckBool(const std::string& name, PARAM_NECESSITY necessity,
                                               BoolValidator validator) const {
  return GetAndCheck<bool>(params_, name, necessity, ConvertBool, validator);
}

APIParameter<Json::Value> APIRequest::GetAndCheckArray(const std::string& name,
                                                       PARAM_NECESSITY necessity,
                                                       ArrayValidator validator) const {
  return GetAndCheck<Json::Value>(params_, name, necessity, ConvertArray, validator);
}

unsigned int APIRequest::GetLoginUID() const { return login_uid_; }

bool APIRequest::IsAdmin() const { return is_admin_; }

APIResponse::APIResponse()
    : answered_(false), success_(false), error_code_(0), data_(), output_enabled_(true) {}

APIResponse::~APIResponse() = default;

void APIResponse::SetSuccess(const Json::Value& data) {
  answered_ = true;
  success_ = true;
  error_code_ = 0;
  data_ = data;
}

void APIResponse::SetError(int code, const Json::Value& data) {
  answered_ = true;
  success_ = false;
  error_code_ = code;
  data_ = data;
}

void APIResponse::SetEnableOutput(bool enable) { output_enabled_ = enable; }

Json::Value APIResponse::ToEnvelope() const {
  Json::Value envelope(Json::objectValue);
  envelope["success"] = success_;
  if (success_) {
    if (!data_.isNull()) envelope["data"] = data_;
  } else {
    envelope["error"]["code"] = error_code_;
  }
  return envelope;
}

}  // namespace VELM
