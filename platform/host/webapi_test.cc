#include "velm/webapi.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errs;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << text;
  return v;
}

// One JSON kind as given on the request, "" meaning absent, with what each
// getter makes of it (nullopt: wrong kind).
struct KindCase {
  const char* json;
  std::optional<int> as_int;
  std::optional<std::string> as_string;
  std::optional<bool> as_bool;
  bool is_array;
};

const KindCase kKinds[] = {
    {"", std::nullopt, std::nullopt, std::nullopt, false},
    {"null", std::nullopt, std::nullopt, std::nullopt, false},
    {"5", 5, std::nullopt, std::nullopt, false},
    {"0", 0, std::nullopt, std::nullopt, false},
    {"2147483647", 2147483647, std::nullopt, std::nullopt, false},
    {"-2147483648", -2147483647 - 1, std::nullopt, std::nullopt, false},
    {"2147483648", std::nullopt, std::nullopt, std::nullopt, false},
    {"-2147483649", std::nullopt, std::nullopt, std::nullopt, false},
    {"18446744073709551615", std::nullopt, std::nullopt, std::nullopt, false},
    {"2.0", std::nullopt, std::nullopt, std::nullopt, false},
    {"true", std::nullopt, std::nullopt, true, false},
    {"false", std::nullopt, std::nullopt, false, false},
    {"\"abc\"", std::nullopt, std::string("abc"), std::nullopt, false},
    {"\"\"", std::nullopt, std::string(""), std::nullopt, false},
    {"[1,2]", std::nullopt, std::nullopt, std::nullopt, true},
    {"[]", std::nullopt, std::nullopt, std::nullopt, true},
    {"{\"a\":1}", std::nullopt, std::nullopt, std::nullopt, false},
};

// Validators that reject one recognisable value and count their calls.
int g_validator_calls = 0;
bool IntPositive(const int& v) {
  ++g_validator_calls;
  return v > 0;
}
bool StringNotEmpty(const std::string& v) {
  ++g_validator_calls;
  return !v.empty();
}
bool BoolIsTrue(const bool& v) {
  ++g_validator_calls;
  return v;
}
bool ArrayNotEmpty(const Json::Value& v) {
  ++g_validator_calls;
  return v.size() > 0;
}

template <typename T, typename Getter, typename Validator>
void CheckGetter(const char* getter_name, Getter get, Validator validator,
                 std::optional<T> (*expected_of)(const KindCase&)) {
  for (const KindCase& kind : kKinds) {
    Json::Value params(Json::objectValue);
    bool present = kind.json[0] != '\0';
    if (present) params["p"] = ParseJson(kind.json);
    params["other"] = 1;  // a neighbour must not be picked up
    VELM::APIRequest req("A", 1, "m", params, 1000, false);
    std::optional<T> expected = present ? expected_of(kind) : std::nullopt;

    for (VELM::PARAM_NECESSITY necessity : {VELM::PARAM_REQUIRED, VELM::PARAM_OPTIONAL}) {
      for (bool with_validator : {false, true}) {
        SCOPED_TRACE(std::string(getter_name) + " json=" + (present ? kind.json : "(absent)") +
                     (necessity == VELM::PARAM_REQUIRED ? " required" : " optional") +
                     (with_validator ? " validated" : ""));
        g_validator_calls = 0;
        VELM::APIParameter<T> p = get(req, necessity, with_validator ? validator : nullptr);
        EXPECT_EQ(p.IsSet(), present);
        if (!present) {
          EXPECT_EQ(p.IsInvalid(), necessity == VELM::PARAM_REQUIRED);
          EXPECT_EQ(p.Get(), T());
          EXPECT_EQ(g_validator_calls, 0);
        } else if (!expected) {
          EXPECT_TRUE(p.IsInvalid());
          EXPECT_EQ(p.Get(), T());
          EXPECT_EQ(g_validator_calls, 0) << "validator saw a value of the wrong kind";
        } else {
          bool rejected = with_validator && !validator(*expected);
          EXPECT_EQ(p.IsInvalid(), rejected);
          EXPECT_EQ(p.Get(), *expected) << "a rejected value still reads back converted";
          EXPECT_EQ(g_validator_calls, with_validator ? 2 : 0);  // ours plus the check above
        }
      }
    }
  }
}

TEST(APIRequestTest, EveryGetterOnEveryKindNecessityAndValidator) {
  using Req = VELM::APIRequest;
  using Need = VELM::PARAM_NECESSITY;
  CheckGetter<int>(
      "int",
      [](const Req& r, Need n, Req::IntValidator v) { return r.GetAndCheckInt("p", n, v); },
      IntPositive, [](const KindCase& k) { return k.as_int; });
  CheckGetter<std::string>(
      "string",
      [](const Req& r, Need n, Req::StringValidator v) { return r.GetAndCheckString("p", n, v); },
      StringNotEmpty, [](const KindCase& k) { return k.as_string; });
  CheckGetter<bool>(
      "bool",
      [](const Req& r, Need n, Req::BoolValidator v) { return r.GetAndCheckBool("p", n, v); },
      BoolIsTrue, [](const KindCase& k) { return k.as_bool; });
  CheckGetter<Json::Value>(
      "array",
      [](const Req& r, Need n, Req::ArrayValidator v) { return r.GetAndCheckArray("p", n, v); },
      ArrayNotEmpty, [](const KindCase& k) {
        return k.is_array ? std::optional<Json::Value>(ParseJson(k.json)) : std::nullopt;
      });
}

TEST(APIRequestTest, ParamsThatAreNotAnObjectHoldNothing) {
  VELM::APIRequest req("A", 1, "m", Json::Value(Json::arrayValue), 7, true);
  VELM::APIParameter<int> p = req.GetAndCheckInt("p", VELM::PARAM_REQUIRED, nullptr);
  EXPECT_FALSE(p.IsSet());
  EXPECT_TRUE(p.IsInvalid());
}

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v);
}

TEST(APIResponseTest, EnvelopeShapes) {
  struct Answer {
    int code;  // 0: SetSuccess
    const char* data;
  };
  const struct {
    const char* name;
    std::vector<Answer> answers;
    const char* expected;
  } cases[] = {
      {"success with empty object", {{0, "{}"}}, R"({"data":{},"success":true})"},
      {"error drops its data", {{117, "\"ignored\""}}, R"({"error":{"code":117},"success":false})"},
      {"last answer wins", {{120, "null"}, {0, "null"}}, R"({"success":true})"},
      {"error after success",
       {{0, "{}"}, {105, "null"}},
       R"({"error":{"code":105},"success":false})"},
  };
  for (const auto& c : cases) {
    VELM::APIResponse r;
    EXPECT_FALSE(r.IsAnswered());
    for (const Answer& a : c.answers) {
      if (a.code == 0) {
        r.SetSuccess(ParseJson(a.data));
      } else {
        r.SetError(a.code, ParseJson(a.data));
      }
    }
    EXPECT_TRUE(r.IsAnswered()) << c.name;
    EXPECT_EQ(Compact(r.ToEnvelope()), c.expected) << c.name;
  }
}

}  // namespace
