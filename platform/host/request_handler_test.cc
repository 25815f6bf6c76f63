#include "platform/host/request_handler.h"

#include <gtest/gtest.h>
#include <strings.h>

#include "platform/host/testdata/temp_dir.h"

namespace kinoro {
namespace host {
namespace {

constexpr char kApi[] = "api=Kinoro.Test&version=1&method=";

Json::Value ParseBody(const std::string& body) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  std::string errs;
  EXPECT_TRUE(r->parse(body.data(), body.data() + body.size(), &v, &errs)) << body;
  return v;
}

const std::string* FindHeader(const HttpResponse& r, const std::string& name) {
  for (const auto& h : r.headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return &h.second;
  }
  return nullptr;
}

class RequestHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseCheapPasswordHashesForTesting();
    std::string error;
    ASSERT_TRUE(dispatcher_.LoadModule(KINORO_TEST_MODULE, &error)) << error;
    ASSERT_TRUE(users_.Open(dir_.File("users.db"), &error)) << error;
    // Passwords that look like JSON must still be taken as typed.
    ASSERT_TRUE(users_.AddUser("alice", 1001, "007", false, &error)) << error;
    ASSERT_TRUE(users_.AddUser("boss", 1026, "[boss]", true, &error)) << error;
    policy_.idle_seconds = 600;
    handler_ = std::make_unique<RequestHandler>(&dispatcher_, &users_, policy_, HandlerOptions(),
                                                [this] { return now_; });
  }

  HttpResponse Get(const std::string& query, const std::string& cookie = "",
                   const std::string& if_none_match = "") {
    HttpRequest r;
    r.method = "GET";
    r.path = kEntryPath;
    r.query = query;
    r.cookie = cookie;
    r.if_none_match = if_none_match;
    return handler_->Handle(r);
  }

  HttpResponse Post(const std::string& query, const std::string& body,
                    const std::string& content_type, const std::string& cookie) {
    HttpRequest r;
    r.method = "POST";
    r.path = kEntryPath;
    r.query = query;
    r.body = body;
    r.content_type = content_type;
    r.cookie = cookie;
    return handler_->Handle(r);
  }

  HttpResponse PostLogin(const std::string& fields) {
    return Post("", "api=VELM.API.Auth&version=1&method=login" + fields,
                "application/x-www-form-urlencoded", "");
  }

  // Logs in and returns the session id.
  std::string Login(const std::string& account, const std::string& password) {
    HttpResponse r = PostLogin("&account=" + account + "&passwd=" + password);
    Json::Value body = ParseBody(r.body);
    EXPECT_TRUE(body["success"].asBool()) << r.body;
    return body["data"]["sid"].asString();
  }

  static int Code(const HttpResponse& r) {
    Json::Value body = ParseBody(r.body);
    return body["success"].asBool() ? 0 : body["error"]["code"].asInt();
  }

  TempDir dir_;
  Dispatcher dispatcher_;
  UsersDb users_;
  SessionPolicy policy_;
  int64_t now_ = 1'800'000'000;
  std::unique_ptr<RequestHandler> handler_;
};

TEST_F(RequestHandlerTest, HostErrorsComeBeforeTheLoginCheck) {
  struct Case {
    std::string query;
    int code;
  };
  const Case cases[] = {
      {"api=Kinoro.Test&method=echo", kErrorMissingName},
      {"api=Kinoro.Nope&version=1&method=echo", kErrorNoSuchApi},
      {"api=Kinoro.Test&version=1&method=echo", kErrorNotLoggedIn},
      {"api=VELM.API.Auth&version=2&method=logout", kErrorBadVersion},
      {"api=VELM.API.Auth&version=1&method=whoami", kErrorNoSuchMethod},
  };
  for (const Case& c : cases) {
    HttpResponse r = Get(c.query);
    EXPECT_EQ(r.status, 200) << c.query;
    EXPECT_EQ(r.body, "{\"error\":{\"code\":" + std::to_string(c.code) + "},\"success\":false}")
        << c.query;
    EXPECT_EQ(r.error_code, c.code);
    ASSERT_NE(FindHeader(r, "Content-Type"), nullptr);
    EXPECT_EQ(*FindHeader(r, "Content-Type"), "application/json");
  }
}

// The login cookie and the session on the wire are the HTTP tests'; here
// what they do not see: _sid wins over a stale cookie, logout clears the
// cookie (also without a session), and a password is text even when it
// looks like JSON. Lockout is the users.db test's.
TEST_F(RequestHandlerTest, SessionByIdLogoutAndPasswordsAsText) {
  std::string sid = Login("boss", "%5Bboss%5D");
  Json::Value data =
      ParseBody(Get(std::string(kApi) + "echo&n=1&_sid=" + sid, "id=0123").body)["data"];
  EXPECT_EQ(data["uid"].asUInt(), 1026u);
  EXPECT_TRUE(data["admin"].asBool());
  EXPECT_EQ(data["params"].getMemberNames(), std::vector<std::string>{"n"});

  for (const std::string& cookie : {"id=" + sid, std::string()}) {
    HttpResponse out = Get("api=VELM.API.Auth&version=1&method=logout", cookie);
    EXPECT_EQ(out.body, "{\"success\":true}");
    ASSERT_NE(FindHeader(out, "Set-Cookie"), nullptr);
    EXPECT_EQ(*FindHeader(out, "Set-Cookie"), "id=; Max-Age=0; HttpOnly; SameSite=Strict; Path=/");
  }
  EXPECT_EQ(Code(Get(std::string(kApi) + "echo", "id=" + sid)), kErrorNotLoggedIn);

  EXPECT_EQ(Code(PostLogin("&passwd=007")), kErrorBadLogin);
  EXPECT_EQ(Code(PostLogin("&account=alice&passwd=7")), kErrorBadLogin)
      << "the password is text, not the number 7";
  EXPECT_FALSE(Login("alice", "007").empty());
}

TEST_F(RequestHandlerTest, MalformedRequestsAreClearClientErrors) {
  std::string sid = Login("alice", "007");
  std::string cookie = "id=" + sid;
  std::string many = std::string(kApi) + "echo";
  for (int i = 0; i < 260; ++i) many += "&p" + std::to_string(i) + "=1";
  struct Case {
    HttpResponse response;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {Get(std::string(kApi) + "echo&x=%zz", cookie), 400, "percent-encoding"},
      {Get(std::string(kApi) + "echo&x=%4", cookie), 400, "percent-encoding"},
      {Get(std::string(kApi) + "echo&x=1&x=2", cookie), 400, "\"x\" given twice"},
      {Get(std::string(kApi) + "echo&api=Kinoro.Test", cookie), 400, "\"api\" given twice"},
      {Get(many, cookie), 400, "too many parameters"},
      {Post(std::string(kApi) + "echo", "{\"x\":1}", "application/json", cookie), 415,
       "x-www-form-urlencoded"},
      {Post(std::string(kApi) + "echo&x=1", "x=2", "application/x-www-form-urlencoded", cookie),
       400, "\"x\" given twice"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.response.status, c.status) << c.says;
    EXPECT_NE(c.response.body.find(c.says), std::string::npos) << c.response.body;
  }
}

TEST_F(RequestHandlerTest, PostBodyAndQueryAreMerged) {
  std::string cookie = "id=" + Login("alice", "007");
  HttpResponse r =
      Post("api=Kinoro.Test&version=1", "method=echo&ids=%5B1%2C2%5D&t=a+b&u=%E2%82%AC",
           "application/x-www-form-urlencoded; charset=UTF-8", cookie);
  Json::Value data = ParseBody(r.body)["data"];
  EXPECT_EQ(data["params"]["ids"], ParseBody("[1,2]"));
  EXPECT_EQ(data["params"]["t"].asString(), "a b");
  EXPECT_NE(r.body.find("\"u\":\"\xe2\x82\xac\""), std::string::npos) << "UTF-8 goes out as is";
  EXPECT_EQ(r.api_method, "echo");
}

TEST_F(RequestHandlerTest, RawAnswersAndConditionalRequests) {
  std::string cookie = "id=" + Login("alice", "007");
  HttpResponse missing = Get(std::string(kApi) + "raw&status=404&body=gone", cookie);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "gone");
  EXPECT_EQ(*FindHeader(missing, "X-Test"), "raw");

  struct Case {
    const char* if_none_match;
    int status;
  };
  const Case cases[] = {
      {"", 200},  {"\"v1\"", 304}, {"v1", 304},    {"W/\"v1\"", 304}, {"\"a\", \"v1\"", 304},
      {"*", 304}, {"\"v2\"", 200}, {"\"v\"", 200}, {"\"V1\"", 200},   {",", 200},
  };
  for (const Case& c : cases) {
    HttpResponse r = Get(std::string(kApi) + "raw&etag=v1&body=image", cookie, c.if_none_match);
    EXPECT_EQ(r.status, c.status) << c.if_none_match;
    ASSERT_NE(FindHeader(r, "ETag"), nullptr);
    EXPECT_EQ(*FindHeader(r, "ETag"), "\"v1\"");
    if (c.status == 304) {
      EXPECT_EQ(r.body, "");
      EXPECT_EQ(FindHeader(r, "Content-Type"), nullptr);
    } else {
      EXPECT_EQ(r.body, "image");
    }
  }
  // Only a 200 answer turns into 304.
  EXPECT_EQ(Get(std::string(kApi) + "raw&etag=v1&status=404", cookie, "\"v1\"").status, 404);
}

TEST(CookieAndEtagTest, FindCookie) {
  struct Case {
    const char* header;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},          {"id=abc", "abc"}, {"a=1; id=abc; b=2", "abc"}, {"xid=1; id=2", "2"},
      {"id=\"q\"", "q"}, {"id", ""},        {" id = v ", "v"},           {"id=1; id=2", "1"}};
  for (const Case& c : cases) EXPECT_EQ(FindCookie(c.header, "id"), c.expected) << c.header;
}

}  // namespace
}  // namespace host
}  // namespace kinoro
