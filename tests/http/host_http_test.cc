// kinoro-host over loopback with a real HTTP client: the whole road of a
// request, the process model and the signals; and the command lines of
// kinoro-host and kinoro-call as scripts run them.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <future>
#include <thread>

#include "tests/http/host_process.h"

namespace kinoro {
namespace http_test {
namespace {

constexpr char kTest[] = "api=Kinoro.Test&version=1&method=";
constexpr char kAuth[] = "api=VELM.API.Auth&version=1&method=";

class HostHttpTest : public ::testing::Test {
 protected:
  // Adds alice and starts the host.
  void StartHost(const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(host_.AddUser("alice", 1001, "s3cret pass"));
    ASSERT_TRUE(host_.Start(extra)) << host_.Log();
  }

  HttpResult PostLogin(const std::string& account, const std::string& password,
                       const std::string& source = "", long timeout_ms = 10000) {
    HttpOptions post =
        Post(std::string(kAuth) + "login&account=" + account + "&passwd=" + password);
    post.source = source;
    post.timeout_ms = timeout_ms;
    return Fetch(host_.Url(""), post);
  }

  std::string Login() {
    HttpResult r = PostLogin("alice", "s3cret+pass");
    EXPECT_EQ(r.ErrorCode(), 0) << r.body;
    return r.Json()["data"]["sid"].asString();
  }

  // Waits (bounded) until the server's log says `text`.
  bool LogSays(const std::string& text, int timeout_ms = 5000) {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
      if (host_.Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void TearDown() override {
    // Under the sanitizers a fault in the server shows up only in its log.
    std::string log = host_.Log();
    for (const char* fault : {"Sanitizer", "runtime error:"})
      EXPECT_EQ(log.find(fault), std::string::npos) << log;
  }

  static HttpOptions Session(const std::string& sid) {
    HttpOptions o;
    o.headers = {"Cookie: id=" + sid};
    return o;
  }

  // `o` as a POST of `body`.
  static HttpOptions Post(const std::string& body, HttpOptions o = {},
                          const std::string& type = "application/x-www-form-urlencoded") {
    o.method = "POST";
    o.body = body;
    o.content_type = type;
    return o;
  }

  static int Pid(const HttpResult& whoami) { return whoami.Json()["data"]["pid"].asInt(); }

  HttpResult Call(const std::string& method_and_params, const std::string& sid) {
    return Fetch(host_.Url(kTest + method_and_params), Session(sid));
  }

  HostProcess host_;
};

TEST_F(HostHttpTest, LoginSessionAndLogout) {
  StartHost({"--module", KINORO_SECOND_MODULE, "--secure-cookies"});
  // Host errors come before the login check: only a known method asks for
  // a session. Versions are per API, methods per version; names are exact.
  const std::pair<std::string, int> anonymous[] = {
      {"api=Kinoro.Test&method=echo", 101},
      {"api=Kinoro.Test&version=1", 101},
      {"api=kinoro.test&version=1&method=echo", 102},
      {std::string(kAuth) + "whoami", 103},
      {"api=Kinoro.Test&version=1&method=ECHO", 103},
      {"api=Kinoro.Test&version=2&method=fail", 103},
      {"api=VELM.API.Auth&version=2&method=logout", 104},
      {"api=Kinoro.Test&version=1.0&method=echo", 104},
      {"api=Kinoro.Other&version=2&method=hello", 104},
      {"api=Kinoro.Test&version=2&method=echo", 119},
      {"api=Kinoro.Other&version=1&method=hello", 119},
  };
  for (const auto& a : anonymous) {
    EXPECT_EQ(Fetch(host_.Url(a.first)).body,
              R"({"error":{"code":)" + std::to_string(a.second) + R"(},"success":false})")
        << a.first;
  }
  HttpResult login = PostLogin("alice", "s3cret+pass");
  const std::string sid = login.Json()["data"]["sid"].asString();
  ASSERT_EQ(sid.size(), 32u) << login.body;
  EXPECT_EQ(login.Header("set-cookie"),
            "id=" + sid + "; HttpOnly; SameSite=Strict; Path=/; Secure");

  HttpResult echo = Call("echo&n=5", sid);
  EXPECT_EQ(echo.status, 200);
  EXPECT_EQ(echo.Header("content-type"), "application/json");
  EXPECT_EQ(echo.Json()["data"]["uid"].asUInt(), 1001u);
  EXPECT_FALSE(echo.Json()["data"]["admin"].asBool());
  EXPECT_EQ(Call("null_data", sid).body, R"({"success":true})");
  EXPECT_EQ(Fetch(host_.Url("api=Kinoro.Other&version=1&method=hello"), Session(sid)).body,
            R"({"data":{"hello":"other"},"success":true})");
  // _sid stands for the cookie, wins over a stale one, and is the host's.
  HttpResult by_id = Fetch(host_.Url(std::string(kTest) + "echo&_sid=" + sid), Session("0123"));
  EXPECT_EQ(by_id.Json()["data"]["uid"].asUInt(), 1001u) << by_id.body;
  EXPECT_FALSE(by_id.Json()["data"]["params"].isMember("_sid"));

  for (const HttpOptions& o : {Session(sid), HttpOptions()}) {  // with a session or without
    HttpResult out = Fetch(host_.Url(std::string(kAuth) + "logout"), o);
    EXPECT_EQ(out.ErrorCode(), 0) << out.body;
    EXPECT_EQ(out.Header("set-cookie"),
              "id=; Max-Age=0; HttpOnly; SameSite=Strict; Path=/; Secure");
  }
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 119);
  EXPECT_EQ(Fetch(host_.Url(std::string(kTest) + "echo&_sid=" + sid)).ErrorCode(), 119);
}

// A password never travels in a URL: a GET login is answered 405 without
// being tried, so even wrong ones count for nothing. Hashing runs on a
// bounded pool: with one login thread and no queue, a login that comes while
// another hashes is refused at once (the running one hashes a deliberately
// costly hash, seconds, so the order does not depend on the machine's
// speed). Five wrong passwords lock the account for that client only (the
// unlock after the lockout time and the per-address limit are checked with a
// clock of their own in the users.db test).
TEST_F(HostHttpTest, LoginIsByPostOnlyOnABoundedPoolAndLocksForOneClient) {
  ASSERT_TRUE(host_.AddUser("bond", 1007, "007"));
  ASSERT_TRUE(host_.AddUser("slow", 1002, "slow pass"));
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(host_.dir().File("users.db").c_str(), &db), SQLITE_OK);
    const char* update =
        "UPDATE users SET password_hash = '$argon2id$v=19$m=32768,t=250,p=1$"
        "nD8O8FFnollR0YdEbvFd5w$DE/qY2CBsd+hYeUqq8/IMSydV1pQ5/4dB/MSwOcaPE0' WHERE name = 'slow'";
    EXPECT_EQ(sqlite3_exec(db, update, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  StartHost({"--login-threads", "1", "--login-queue", "0"});
  // A hash of seconds, many more on a loaded machine: the client waits it out,
  // so that the pool is free again for what follows.
  auto slow =
      std::async(std::launch::async, [&] { return PostLogin("slow", "slow+pass", "", 120000); });
  // Once the slow hash holds the one login thread (on a loaded machine that
  // may take a while), the next login is refused at once, not queued.
  HttpResult refused;
  bool slow_running = true;
  for (int i = 0; i < 200 && refused.status != 503 && slow_running; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    refused = PostLogin("alice", "s3cret+pass");
    slow_running = slow.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
  }
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.Header("retry-after"), "1");
  EXPECT_TRUE(slow_running) << "the refusal did not wait for the running hash";
  const HttpResult slow_login = slow.get();
  EXPECT_EQ(slow_login.status, 200);
  EXPECT_EQ(slow_login.ErrorCode(), 0);

  EXPECT_EQ(PostLogin("bond", "7", "127.0.0.3").ErrorCode(), 400) << "a password is text, not 7";
  HttpResult bond = PostLogin("bond", "007");
  EXPECT_EQ(bond.ErrorCode(), 0);
  EXPECT_EQ(bond.Header("set-cookie").find("Secure"), std::string::npos) << "not behind TLS";
  for (int i = 0; i < 6; ++i) {
    HttpResult r = Fetch(host_.Url(std::string(kAuth) + "login&account=alice&passwd=wrong"));
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(r.Header("allow"), "POST");
    EXPECT_EQ(r.Header("set-cookie"), "");
  }
  EXPECT_NE(ReadFile(host_.dir().File("access.log")).find(" method=login status=405 "),
            std::string::npos);
  EXPECT_EQ(PostLogin("alice", "s3cret+pass").ErrorCode(), 0);

  for (int i = 0; i < 5; ++i) EXPECT_EQ(PostLogin("alice", "wrong").ErrorCode(), 400);
  EXPECT_EQ(PostLogin("alice", "s3cret+pass").ErrorCode(), 407);
  EXPECT_EQ(PostLogin("alice", "s3cret+pass", "127.0.0.2").ErrorCode(), 0);
  EXPECT_EQ(PostLogin("alice", "s3cret+pass", "127.0.0.1").ErrorCode(), 407);
}

TEST_F(HostHttpTest, RawAnswersNotModifiedAndFaultsOfACall) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  HttpResult image = Call("raw&etag=abc&body=JPEGDATA", sid);
  EXPECT_EQ(image.status, 200);
  EXPECT_EQ(image.body, "JPEGDATA");
  EXPECT_EQ(image.Header("content-type"), "text/plain");
  EXPECT_EQ(image.Header("etag"), "\"abc\"");
  EXPECT_EQ(image.Header("content-length"), "8");

  HttpResult missing = Call("raw&status=404&body=", sid);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "");

  // A validator that matches (request_handler_test.cc has which do) turns
  // a 200 answer into 304 without a body; no other answer.
  HttpOptions o = Session(sid);
  o.headers.push_back("If-None-Match: W/\"abc\"");
  HttpResult same = Fetch(host_.Url(std::string(kTest) + "raw&etag=abc&body=JPEGDATA"), o);
  EXPECT_EQ(same.status, 304);
  EXPECT_EQ(same.body, "");
  EXPECT_EQ(same.Header("etag"), "\"abc\"");
  EXPECT_EQ(same.Header("content-length"), "") << "RFC 9110 8.6";

  // Large bodies reach the front as the file they were written to: every
  // byte in place, with either kind of line end, and the next call's
  // output in a file of its own.
  std::string large;
  for (int i = 0; large.size() < 200000; ++i) large += std::to_string(i) + ",";
  for (const char* lf : {"", "&lf=1"}) {
    HttpResult big =
        Fetch(host_.Url(""),
              Post(std::string(kTest) + "raw&etag=big" + lf + "&body=" + large, Session(sid)));
    EXPECT_EQ(big.status, 200) << lf;
    EXPECT_TRUE(big.body == large) << lf << ": " << big.body.size() << " bytes";
    EXPECT_EQ(big.Header("content-length"), std::to_string(large.size()));
    EXPECT_EQ(big.Header("etag"), "\"big\"");
    EXPECT_EQ(Call(std::string("raw&body=small") + lf, sid).body, "small");
  }
  EXPECT_EQ(Fetch(host_.Url(std::string(kTest) + "raw&etag=abc&status=404"), o).status, 404);

  // A file handed over is written over again only after its answer is
  // sent: a client that reads slowly still gets its own bytes after later
  // large answers.
  // More than the kernel takes in before the client reads.
  const std::string mine(8 << 20, 'a'), theirs(8 << 20, 'b');
  const int slow = Connect(host_.port(), 4096);
  ASSERT_GE(slow, 0);
  const std::string form = std::string(kTest) + "raw&body=aaaaaaaa&repeat=1048576";
  const std::string request =
      "POST /webapi/entry.cgi HTTP/1.1\r\nHost: x\r\nConnection: close\r\nCookie: id=" + sid +
      "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(form.size()) + "\r\n\r\n" + form;
  ASSERT_EQ(send(slow, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) {
    HttpResult other = Call("raw&body=bbbbbbbb&repeat=1048576", sid);
    EXPECT_TRUE(other.body == theirs) << other.body.size() << " bytes";
  }
  struct timeval tv = {10, 0};
  setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  char buf[65536];
  for (ssize_t n; (n = recv(slow, buf, sizeof buf, 0)) > 0;) answer.append(buf, n);
  close(slow);
  const std::string body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
  EXPECT_TRUE(body == mine) << body.size() << " bytes, "
                            << std::count(body.begin(), body.end(), 'b') << " of another answer";

  // Output of one call, or its failure, never shows up in the next.
  EXPECT_EQ(Call("chatty", sid).body, "{\"data\":{},\"success\":true}");
  EXPECT_EQ(Call("throw", sid).ErrorCode(), 100);
  EXPECT_EQ(Call("raw&body=clean", sid).body, "clean");

  // A call that kills its worker is answered, and the worker replaced.
  int before = Pid(Call("whoami", sid));
  HttpResult crash = Call("abort", sid);
  EXPECT_EQ(crash.status, 500) << "an answer, not a reset";
  EXPECT_EQ(crash.ErrorCode(), 100);
  HttpResult next = Call("whoami", sid);
  ASSERT_EQ(next.ErrorCode(), 0) << next.body;
  EXPECT_NE(Pid(next), before);
  // The supervisor may log after the next call was served (by a spare).
  EXPECT_TRUE(LogSays("worker 1 (pid " + std::to_string(before) +
                      ") was killed by signal 6 (Aborted); starting a new one"))
      << host_.Log();
  EXPECT_TRUE(LogSays("front: worker 1 (pid " + std::to_string(before) +
                      ") died while serving Kinoro.Test abort; answered 500"))
      << host_.Log();
  EXPECT_NE(ReadFile(host_.dir().File("access.log")).find(" method=abort status=500 error=100 "),
            std::string::npos);
}

TEST_F(HostHttpTest, BadRequestsAreRefusedCleanly) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  const HttpOptions o = Session(sid);
  HttpOptions put = o;
  put.method = "PUT";
  const std::string echo = host_.Url(std::string(kTest) + "echo");
  std::string many = echo;
  for (int i = 0; i < 260; ++i) many += "&p" + std::to_string(i) + "=1";
  struct Case {
    std::string url;
    HttpOptions options;
    long status;
    const char* says;  // a part of the answer
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(host_.port()) + "/webapi/query.cgi?" + kTest + "echo",
       o, 404, ""},
      {echo, put, 404, ""},
      {echo + "&x=" + std::string(8 * 1024, 'a'), o, 414, ""},
      {echo + "&x=" + std::string(100 * 1024, 'a'), o, 414, ""},
      {echo, Post("x=" + std::string(1024 * 1024, 'a'), o), 413, ""},
      {echo + "&x=%zz", o, 400, "percent-encoding"},
      {echo + "&x=1&x=2", o, 400, "\"x\" given twice"},
      {many, o, 400, "too many parameters"},
      {echo, Post("{\"x\":1}", o, "application/json"), 415, "x-www-form-urlencoded"},
  };
  for (const Case& c : cases) {
    HttpResult r = Fetch(c.url, c.options);
    EXPECT_EQ(r.curl_code, 0) << c.url.substr(0, 120);
    EXPECT_EQ(r.status, c.status) << c.url.substr(0, 120) << " " << r.body;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
  }
  // The body's parameters join the query's; values go out as they came.
  HttpResult merged = Fetch(host_.Url("api=Kinoro.Test&version=1"),
                            Post("method=echo&ids=%5B1%2C2%5D&t=a+b&u=%E2%82%AC", o,
                                 "application/x-www-form-urlencoded; charset=UTF-8"));
  EXPECT_EQ(merged.Json()["data"]["params"]["ids"].size(), 2u) << merged.body;
  EXPECT_EQ(merged.Json()["data"]["params"]["t"].asString(), "a b");
  EXPECT_NE(merged.body.find("\"u\":\"\xe2\x82\xac\""), std::string::npos) << merged.body;
  // Heads that a proxy in front could read otherwise than we do.
  const std::string target = "/webapi/entry.cgi?" + std::string(kTest) + "echo";
  const std::string form_type = "Content-Type: application/x-www-form-urlencoded\r\n";
  // Each request with the status line it must get.
  const std::pair<std::string, const char*> raws[] = {
      {"POST " + target + " HTTP/1.1\r\nHost: x\r\n" + form_type +
           "Content-Length: 3\r\nContent-Length: 5\r\n\r\na=1bc",
       "HTTP/1.1 400 "},
      {"POST " + target + " HTTP/1.1\r\nHost: x\r\n" + form_type +
           "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na=1\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      {"GET " + target + " HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400 "},
      {"GET " + target + " HTTP/1.1\r\nHost: x\r\nHost: y\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 400 "},
      // Allowed: equal lengths, HTTP/1.0 without Host (not logged in: 119).
      {"POST " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + form_type +
           "Content-Length: 3\r\nContent-Length: 3\r\n\r\na=1",
       "HTTP/1.1 200 "},
      {"GET " + target + " HTTP/1.0\r\n\r\n", "HTTP/1.1 200 "},
  };
  for (const auto& raw : raws) {
    std::string answer = RawExchange(host_.port(), raw.first);
    EXPECT_EQ(answer.rfind(raw.second, 0), 0u) << raw.first << "\n-> " << answer;
    EXPECT_NE(answer.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << answer;
  }

  // Still serving, on the same single worker.
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 0);
  EXPECT_EQ(host_.Log().find("starting a new one"), std::string::npos) << host_.Log();
}

// One regular worker, busy with a slow call: a keep-alive connection it
// served before and fresh clients are all answered meanwhile (by a spare
// worker, which retires once idle).
TEST_F(HostHttpTest, ASlowCallHoldsUpNoOtherClient) {
  StartHost({"--workers", "1", "--max-workers", "2", "--spare-idle", "1"});
  std::string sid = Login();
  HttpClient keep_alive;
  const std::string whoami = host_.Url(std::string(kTest) + "whoami");
  int regular = Pid(keep_alive.Fetch(whoami, Session(sid)));
  ASSERT_GT(regular, 0);
  auto slow = std::async(std::launch::async, [&] { return Call("sleep&ms=4000", sid); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<std::future<int>> clients;
  for (int c = 0; c < 4; ++c) {
    clients.push_back(std::async(std::launch::async, [&, c] {
      int ok = 0;
      for (int i = 0; i < 10; ++i) {
        HttpResult r = Call("echo&client=" + std::to_string(c) + "&i=" + std::to_string(i), sid);
        Json::Value params = r.Json()["data"]["params"];
        ok += params["client"].asInt() == c && params["i"].asInt() == i ? 1 : 0;
      }
      return ok;
    }));
  }
  for (int i = 0; i < 10; ++i) {
    HttpResult r = keep_alive.Fetch(whoami, Session(sid));
    ASSERT_EQ(r.ErrorCode(), 0) << r.body;
    EXPECT_NE(Pid(r), regular) << "served by the busy worker?";
  }
  for (auto& client : clients) EXPECT_EQ(client.get(), 10);
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the calls waited for the sleeping worker";
  const HttpResult slow_login = slow.get();
  EXPECT_EQ(slow_login.status, 200);
  EXPECT_EQ(slow_login.ErrorCode(), 0);
  EXPECT_TRUE(LogSays("front: spare worker 2 (pid ")) << host_.Log();
  EXPECT_TRUE(LogSays("idle for 1 s; retired")) << host_.Log();
}

// SIGTERM: the call in flight and the ones queued behind it (one worker, no
// spares) are all answered, none reset; then the host exits 0.
TEST_F(HostHttpTest, SigtermFinishesWhatItHoldsAndExitsZero) {
  StartHost({"--workers", "1", "--max-workers", "1"});
  std::string sid = Login();
  auto slow = std::async(std::launch::async, [&] { return Call("sleep&ms=1500", sid); });
  // Let the slow call reach the worker, and the others queue behind it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::future<HttpResult>> queued;
  for (int i = 0; i < 3; ++i) {
    queued.push_back(std::async(std::launch::async, [&] { return Call("echo", sid); }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  host_.Signal(SIGTERM);
  HttpResult r = slow.get();
  EXPECT_EQ(r.curl_code, 0) << "reset";
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Json()["data"]["slept_ms"].asInt(), 1500) << r.body;
  EXPECT_EQ(r.Header("connection"), "close");
  for (auto& q : queued) {
    HttpResult answer = q.get();
    EXPECT_EQ(answer.curl_code, 0) << "reset";
    EXPECT_TRUE((answer.status == 200 && answer.ErrorCode() == 0) || answer.status == 503)
        << answer.status << " " << answer.body;
    EXPECT_EQ(answer.Header("connection"), "close");
  }
  EXPECT_EQ(host_.Wait(10000), 0) << host_.Log();
  // Nobody listens any more.
  EXPECT_NE(Fetch(host_.Url(std::string(kTest) + "echo")).curl_code, 0);
}

TEST_F(HostHttpTest, AccessLogHasOneLinePerRequestAndFollowsSighup) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  Call("fail&code=117", sid);
  // One line per request (access_log_test.cc has its exact form).
  const std::string log = ReadFile(host_.dir().File("access.log"));
  for (const char* what : {" worker=0 api=VELM.API.Auth method=login status=200 error=0 ms=",
                           " worker=1 api=Kinoro.Test method=fail status=200 error=117 ms="}) {
    EXPECT_NE(log.find(what), std::string::npos) << log;
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  // Each line starts with the time it was written, in UTC.
  struct tm written = {};
  ASSERT_NE(strptime(log.c_str(), "%Y-%m-%dT%H:%M:%S.", &written), nullptr) << log;
  EXPECT_LT(std::abs(difftime(timegm(&written), time(nullptr))), 60) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << "no secrets in the log";

  ASSERT_EQ(
      rename(host_.dir().File("access.log").c_str(), host_.dir().File("access.log.1").c_str()), 0);
  host_.Signal(SIGHUP);
  // The front, which writes it, says when it has reopened.
  ASSERT_TRUE(LogSays("front: logs reopened")) << host_.Log();
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 0);
  EXPECT_NE(ReadFile(host_.dir().File("access.log")).find("method=echo"), std::string::npos);
  EXPECT_EQ(ReadFile(host_.dir().File("access.log.1")).find("method=echo"), std::string::npos);
}

// A connection that sends nothing is closed after the idle timeout.
// Slowloris: a head or a body that trickles in, a byte now and then, keeps
// resetting the idle timeout; the whole request must still arrive within
// the request time bound.
TEST_F(HostHttpTest, IdleAndTricklingConnectionsAreCut) {
  StartHost({"--workers", "1", "--idle-timeout", "1", "--request-timeout", "3"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RawExchange(host_.port(), ""), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500))
      << "closed by the idle timeout, not the request bound (nor by us after 5 s)";

  const std::string target = "/webapi/entry.cgi?" + std::string(kTest) + "echo";
  // A request's start, then what trickles in.
  const std::pair<std::string, std::string> cases[] = {
      {"GET " + target + " HTTP/1.1\r\nHost: x\r\n", "X-Slow: 1\r\n"},
      {"POST " + target +
           " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: 1000\r\n\r\n",
       "a"},
  };
  for (const auto& c : cases) {
    int fd = Connect(host_.port());
    ASSERT_GE(fd, 0);
    send(fd, c.first.data(), c.first.size(), MSG_NOSIGNAL);
    bool cut = false;
    // A drip every 200 ms for up to 6 s: the idle timeout never runs.
    for (int i = 0; i < 30 && !cut; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      char buf[256];
      cut = send(fd, c.second.data(), c.second.size(), MSG_NOSIGNAL) < 0 ||
            recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0;
    }
    close(fd);
    EXPECT_TRUE(cut) << c.first.substr(0, 4) << " still open after 6 s";
  }
  EXPECT_EQ(Call("echo", Login()).ErrorCode(), 0) << "others are served";
  // The first cut is logged at once, later ones once a minute at most, so
  // that a flood of them does not flood the log.
  const std::string log = host_.Log();
  const size_t first = log.find("front: cut 1 connection that sent no whole request within 3 s");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("front: cut ", first + 1), std::string::npos) << log;
}

TEST_F(HostHttpTest, ConnectionsPerClientAreCapped) {
  StartHost({"--workers", "1", "--max-connections-per-client", "3"});
  // Logged in from elsewhere, so that no closing connection of 127.0.0.1
  // still counts below.
  HttpResult login = PostLogin("alice", "s3cret+pass", "127.0.0.2");
  const HttpOptions o = Session(login.Json()["data"]["sid"].asString());
  const std::string url = host_.Url(std::string(kTest) + "echo");
  std::vector<std::unique_ptr<HttpClient>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<HttpClient>());
    ASSERT_EQ(held.back()->Fetch(url, o).ErrorCode(), 0) << "connection " << i + 1;
  }
  HttpResult refused = Fetch(url, o);
  EXPECT_NE(refused.curl_code, 0) << refused.status;
  HttpOptions other = o;
  other.source = "127.0.0.2";
  EXPECT_EQ(Fetch(url, other).ErrorCode(), 0);
  for (auto& client : held) EXPECT_EQ(client->Fetch(url, o).ErrorCode(), 0) << "kept";

  held.pop_back();
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    served = Fetch(url, o).ErrorCode() == 0;
  }
  EXPECT_TRUE(served) << "a freed place is usable again";
}

TEST_F(HostHttpTest, WorkersRunAsTheGivenUserWithRootKeptAside) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  StartHost({"--user", "nobody", "--workers", "1"});
  std::string sid = Login();  // sessions are written after the switch
  Json::Value ids = Call("whoami", sid).Json()["data"];
  EXPECT_EQ(ids["euid"].asUInt(), nobody->pw_uid);
  EXPECT_EQ(ids["egid"].asUInt(), nobody->pw_gid);
  for (const char* id : {"ruid", "suid", "rgid", "sgid"}) EXPECT_EQ(ids[id].asUInt(), 0u) << id;
  EXPECT_EQ(Fetch(host_.Url(std::string(kAuth) + "logout"), Session(sid)).ErrorCode(), 0);
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 119);
}

TEST(HostStartTest, ReportsWhatKeepsItFromStarting) {
  TempDir dir;
  const std::vector<std::string> serve = {KINORO_HOST_BIN, "--foreground", "--listen"};
  const std::string module = KINORO_TEST_MODULE, users = dir.File("u.db");
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      // after `serve`; says
      {{"127.0.0.1:0", "--module", "/nonexistent/mod.so", "--users-db", users},
       "/nonexistent/mod.so"},
      {{"127.0.0.1:0", "--module", module, "--users-db", "/nonexistent-dir/u.db"},
       "/nonexistent-dir/u.db"},
      {{"203.0.113.1:0", "--module", module, "--users-db", users}, "cannot listen"},
      {{"127.0.0.1:0", "--module", module, "--users-db", users, "--user", "no-such-user-here"},
       "no system user"},
      {{"127.0.0.1:0", "--module", module, "--users-db", users, "--access-log",
        "/nonexistent-dir/access.log"},
       "/nonexistent-dir/access.log"},
      // Two modules may not serve the same methods.
      {{"127.0.0.1:0", "--module", module, "--module", module, "--users-db", users}, "twice"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = serve;
    argv.insert(argv.end(), c.first.begin(), c.first.end());
    std::string err;
    EXPECT_NE(RunProgram(argv, "", &err), 0) << c.second;
    EXPECT_NE(err.find(c.second), std::string::npos) << err;
  }
}

TEST(HostUserCommandTest, AddListDelete) {
  TempDir dir;
  // Runs "kinoro-host user ...": its status, with standard output and error
  // in `out`.
  auto user = [&](std::vector<std::string> args, const std::string& input, std::string* out) {
    args.insert(args.begin(), {KINORO_HOST_BIN, "user"});
    args.insert(args.end(), {"--users-db", dir.File("users.db")});
    std::string err;
    int status = RunProgram(args, input, &err, out);
    *out += err;
    return status;
  };
  std::string out;
  EXPECT_EQ(user({"add", "alice", "--uid", "1001"}, "pw\n", &out), 0) << out;
  EXPECT_EQ(user({"add", "root", "--uid", "0", "--admin"}, "pw", &out), 0) << out;
  // Refusals: what the status says is in the message.
  const struct {
    std::vector<std::string> args;
    const char* input;
    const char* says;
  } refused[] = {
      {{"add", "alice", "--uid", "1002"}, "pw\n", "already exists"},
      {{"add", "bob", "--uid", "1001"}, "pw\n", "with uid 1001 already exists"},
      {{"del", "nobody-here"}, "", "no user named \"nobody-here\""},
      {{"add", "bob", "--uid", "1003"}, "", "standard input"},
      {{"add", "bob", "--uid", "1003"}, "\n", "empty"},
  };
  for (const auto& r : refused) {
    EXPECT_NE(user(r.args, r.input, &out), 0) << r.says;
    EXPECT_NE(out.find(r.says), std::string::npos) << out;
  }
  EXPECT_EQ(user({"list"}, "", &out), 0);
  EXPECT_EQ(out, "0\troot\tadmin\n1001\talice\tuser\n");
  EXPECT_EQ(user({"del", "alice"}, "", &out), 0) << out;
  EXPECT_NE(user({"del", "alice"}, "", &out), 0);
  EXPECT_EQ(user({"list"}, "", &out), 0);
  EXPECT_EQ(out, "0\troot\tadmin\n");
}

// kinoro-call as scripts see it: what it prints, on which stream, and its
// exit status (0 success or raw answer, 1 error envelope, 2 bad usage).
TEST(KinoroCallTest, OutputAndExitStatus) {
  const std::string module = KINORO_TEST_MODULE;
  const std::string kUnexpected = "{\"error\":{\"code\":100},\"success\":false}\n";
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--module", module, "--uid", "1026"});
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    int status;       // -1: killed
    std::string out;  // exactly
    const char* err;  // a part of standard error; null: nothing at all
  };
  const Case cases[] = {
      {with({"--admin", "Kinoro.Test", "1", "echo", "id=3", "title=Up", "ids=[1,2]", "q=a=b"}), 0,
       R"({"data":{"admin":true,"params":{"id":3,"ids":[1,2],"q":"a=b","title":"Up"},)"
       R"("uid":1026,"version":1},"success":true})"
       "\n",
       nullptr},
      {with({"Kinoro.Nope", "1", "x"}), 1, "{\"error\":{\"code\":102},\"success\":false}\n",
       "kinoro-call: no such API\n"},
      // A method that fails answers 100, with a line that says which and why
      // on standard error, where the module's log lines go.
      {with({"Kinoro.Test", "1", "throw"}), 1, kUnexpected,
       "Kinoro.Test v1 throw: uncaught exception: test module failure"},
      {with({"Kinoro.Test", "1", "throw_int"}), 1, kUnexpected,
       "Kinoro.Test v1 throw_int: uncaught exception"},
      {with({"Kinoro.Test", "1", "silent"}), 1, kUnexpected, "without an answer"},
      {with({"Kinoro.Test", "1", "raw_garbage"}), 1, kUnexpected, "no empty line"},
      {with({"Kinoro.Test", "1", "raw", "status=404", "body=gone"}), 0,
       "Status: 404 Test\r\nContent-Type: text/plain\r\nX-Test: raw\r\n\r\ngone", nullptr},
      {with({"Kinoro.Test", "1", "abort"}), -1, "", ""},
      {{"--uid", "1", "Kinoro.Test", "1", "echo"}, 2, "", "no --module"},
      {{"--module", module, "Kinoro.Test", "1", "echo"}, 2, "", "no --uid"},
      {with({"--verbose", "Kinoro.Test", "1", "echo"}), 2, "", "unknown option --verbose"},
      {{"--module", module, "--uid", "-5", "Kinoro.Test", "1", "echo"}, 2, "", "--uid"},
      {{"--module", module, "--uid"}, 2, "", "--uid needs a value"},
      {{"--module", "/no/lib.so", "--uid", "1", "A", "1", "m"}, 2, "", "/no/lib.so"},
      {{"--module", KINORO_NOT_A_MODULE, "--uid", "1", "A", "1", "m"}, 2, "", "GetAPITable"},
      {with({"Kinoro.Test", "1"}), 2, "", "API, VERSION and METHOD are required"},
      {with({"Kinoro.Test", "1", "echo", "novalue"}), 2, "", "\"novalue\" is not name=value"},
      {with({"Kinoro.Test", "1", "echo", "a=1", "a=2"}), 2, "", "given twice"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {KINORO_CALL_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::string out, err;
    EXPECT_EQ(RunProgram(argv, "", &err, &out), c.status);
    EXPECT_EQ(out, c.out);
    EXPECT_TRUE(c.err == nullptr ? err.empty() : err.find(c.err) != std::string::npos) << err;
  }
}

// The page's files: typed, revalidated, hardened, and nothing from outside
// the web folder whatever the path says.
TEST_F(HostHttpTest, StaticFilesStayInsideTheWebFolder) {
  const std::string web = host_.dir().File("web");
  ASSERT_EQ(mkdir(web.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((web + "/sub").c_str(), 0700), 0);
  const std::string secret = "outside the web folder";
  ASSERT_TRUE(kinoro_testing::WriteFile(host_.dir().File("secret.txt"), secret));
  // One file of each kind, with its type.
  const std::map<std::string, std::string> files = {
      {"index.html", "text/html; charset=utf-8"}, {"app.js", "text/javascript; charset=utf-8"},
      {"openapi.json", "application/json"},       {"a.png", "image/png"},
      {"blob.bin", "application/octet-stream"},   {"sub/my page.html", "text/html; charset=utf-8"},
  };
  for (const auto& [name, type] : files) {
    ASSERT_TRUE(kinoro_testing::WriteFile(web + "/" + name, "file " + name));
  }
  ASSERT_EQ(symlink("../secret.txt", (web + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink("..", (web + "/up").c_str()), 0);
  ASSERT_TRUE(kinoro_testing::WriteFile(web + "/.hidden", secret));
  StartHost({"--web-root", web});
  const std::string base = "http://127.0.0.1:" + std::to_string(host_.port());

  struct Case {
    std::string path;
    long status;
    std::string file;  // what a 200 must carry
  };
  const Case cases[] = {
      {"/", 200, "index.html"},
      {"/app.js", 200, "app.js"},
      {"/webapi/openapi.json", 200, "openapi.json"},
      {"/a.png", 200, "a.png"},
      {"/blob.bin", 200, "blob.bin"},
      {"/sub/my%20page.html?v=2", 200, "sub/my page.html"},
      {"/../secret.txt", 400, ""},
      {"/sub/../../secret.txt", 400, ""},
      {"/%2e%2e/secret.txt", 400, ""},
      {"/.%2E/secret.txt", 400, ""},
      {"/sub/%2f..%2fsecret.txt", 400, ""},
      {"/sub%5c..%5c..%5csecret.txt", 400, ""},
      {"/sub\\..\\secret.txt", 400, ""},
      {"/index.html%00.txt", 400, ""},
      {"/index.html%zz", 400, ""},
      {"/link.txt", 404, ""},
      {"/up/secret.txt", 404, ""},
      {"/.hidden", 404, ""},
      {"/sub", 404, ""},
      {"/sub/", 404, ""},
      {"//secret.txt", 404, ""},
      {"/missing.html", 404, ""},
      {"/webapi/app.js", 404, ""},
  };
  for (const Case& c : cases) {
    HttpResult r = Fetch(base + c.path);
    SCOPED_TRACE(c.path);
    EXPECT_EQ(r.status, c.status) << r.body;
    EXPECT_EQ(r.body.find(secret), std::string::npos);
    EXPECT_EQ(r.Header("content-security-policy"), "default-src 'self'");
    EXPECT_EQ(r.Header("x-frame-options"), "DENY");
    EXPECT_EQ(r.Header("referrer-policy"), "no-referrer");
    EXPECT_EQ(r.Header("x-content-type-options"), "nosniff");
    if (c.status != 200) continue;
    EXPECT_EQ(r.body, "file " + c.file);
    EXPECT_EQ(r.Header("cache-control"), "no-cache");
    EXPECT_EQ(r.Header("content-type"), files.at(c.file));
  }

  // HEAD has the GET's headers and no body; other methods are refused.
  HttpOptions head;
  head.method = "HEAD";
  HttpResult h = Fetch(base + "/app.js", head);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.Header("content-length"), "11");
  EXPECT_EQ(h.body, "");
  HttpResult post = Fetch(base + "/app.js", Post("a=1"));
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.Header("allow"), "GET, HEAD");
  // The module's entry point is untouched.
  EXPECT_EQ(Fetch(host_.Url("")).ErrorCode(), 101);

  // Revalidation: the tag answers 304 until the file is replaced.
  HttpResult first = Fetch(base + "/app.js");
  const std::string etag = first.Header("etag");
  ASSERT_FALSE(etag.empty());
  HttpOptions conditional;
  conditional.headers = {"If-None-Match: " + etag};
  HttpResult same = Fetch(base + "/app.js", conditional);
  EXPECT_EQ(same.status, 304);
  EXPECT_EQ(same.body, "");
  EXPECT_EQ(same.Header("etag"), etag);
  EXPECT_EQ(same.Header("content-security-policy"), "default-src 'self'");
  ASSERT_TRUE(kinoro_testing::WriteFile(web + "/app.js.new", "file app.JS"));  // same size
  ASSERT_EQ(rename((web + "/app.js.new").c_str(), (web + "/app.js").c_str()), 0);
  HttpResult changed = Fetch(base + "/app.js", conditional);
  EXPECT_EQ(changed.status, 200);
  EXPECT_EQ(changed.body, "file app.JS");
  EXPECT_NE(changed.Header("etag"), etag);
}

}  // namespace
}  // namespace http_test
}  // namespace kinoro
