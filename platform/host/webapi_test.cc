#include "velm/webapi.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/host/wire_params.h"

namespace {

// Set, valid when `want` holds a value, and reading it (else T's zero).
template <typename T>
void ExpectRead(const VELM::APIParameter<T>& p, const std::optional<T>& want) {
  EXPECT_TRUE(p.IsSet());
  EXPECT_EQ(p.IsInvalid(), !want);
  EXPECT_EQ(p.Get(), want.value_or(T()));
}

// Each getter takes its own JSON kind and reads it back; any other kind
// leaves the parameter set but invalid, reading as the type's zero value.
// (Which parameters are required and what validators refuse, the module's
// tests see through every method.)
TEST(APIRequestTest, EachGetterTakesItsKindOnly) {
  const struct {
    const char* json;
    std::optional<int> as_int;  // nullopt: the wrong kind for the getter
    std::optional<std::string> as_string;
    std::optional<bool> as_bool;
    bool is_array;
  } kinds[] = {
      {"null", std::nullopt, std::nullopt, std::nullopt, false},
      {"5", 5, std::nullopt, std::nullopt, false},
      {"2147483647", 2147483647, std::nullopt, std::nullopt, false},
      {"-2147483648", -2147483647 - 1, std::nullopt, std::nullopt, false},
      {"2147483648", std::nullopt, std::nullopt, std::nullopt, false},
      // jsoncpp's isInt() would take it; a client did not send an integer.
      {"2.0", std::nullopt, std::nullopt, std::nullopt, false},
      {"true", std::nullopt, std::nullopt, true, false},
      {"\"abc\"", std::nullopt, std::string("abc"), std::nullopt, false},
      {"[1,2]", std::nullopt, std::nullopt, std::nullopt, true},
      {"{\"a\":1}", std::nullopt, std::nullopt, std::nullopt, false},
  };
  const VELM::PARAM_NECESSITY kOptional = VELM::PARAM_OPTIONAL;
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.json);
    Json::Value params(Json::objectValue);
    params["p"] = kinoro::host::ParseWireValue(k.json);  // as the host reads it
    VELM::APIRequest req("A", 1, "m", params, 1000, false);
    ExpectRead(req.GetAndCheckInt("p", kOptional, nullptr), k.as_int);
    ExpectRead(req.GetAndCheckString("p", kOptional, nullptr), k.as_string);
    ExpectRead(req.GetAndCheckBool("p", kOptional, nullptr), k.as_bool);
    ExpectRead(req.GetAndCheckArray("p", kOptional, nullptr),
               k.is_array ? std::optional<Json::Value>(params["p"]) : std::nullopt);
  }
}

// A method may change its mind: the last answer it set is the one given.
TEST(APIResponseTest, TheLastAnswerCounts) {
  VELM::APIResponse response;
  response.SetError(117, Json::Value());
  response.SetSuccess(Json::Value(Json::objectValue));
  EXPECT_TRUE(response.IsSuccess());
  EXPECT_EQ(response.GetErrorCode(), 0);
}

}  // namespace
