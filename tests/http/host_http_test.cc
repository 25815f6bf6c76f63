// kinoro-host over loopback with a real HTTP client: the whole road of a
// request, the process model and the signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

  std::string Login() {
    HttpOptions post;
    post.method = "POST";
    post.body = std::string(kAuth) + "login&account=alice&passwd=s3cret+pass";
    HttpResult r = Fetch(host_.Url(""), post);
    EXPECT_EQ(r.ErrorCode(), 0) << r.body;
    return r.Json()["data"]["sid"].asString();
  }

  void TearDown() override {
    // Under the sanitizers a fault in the server shows up only in its log.
    std::string log = host_.Log();
    for (const char* fault : {"Sanitizer", "runtime error:"}) {
      EXPECT_EQ(log.find(fault), std::string::npos) << log;
    }
  }

  static HttpOptions Session(const std::string& sid) {
    HttpOptions o;
    o.cookie = "id=" + sid;
    return o;
  }

  HttpResult Call(const std::string& method_and_params, const std::string& sid) {
    return Fetch(host_.Url(kTest + method_and_params), Session(sid));
  }

  HostProcess host_;
};

TEST_F(HostHttpTest, LoginSessionAndLogout) {
  StartHost();
  EXPECT_EQ(Fetch(host_.Url(std::string(kTest) + "echo")).ErrorCode(), 119);
  std::string sid = Login();
  ASSERT_EQ(sid.size(), 32u);

  HttpResult echo = Call("echo&n=5", sid);
  EXPECT_EQ(echo.status, 200);
  EXPECT_EQ(echo.Header("content-type"), "application/json");
  EXPECT_EQ(echo.Json()["data"]["uid"].asUInt(), 1001u);
  EXPECT_FALSE(echo.Json()["data"]["admin"].asBool());
  EXPECT_EQ(Fetch(host_.Url(std::string(kTest) + "echo&_sid=" + sid)).ErrorCode(), 0);

  EXPECT_EQ(Fetch(host_.Url(std::string(kAuth) + "logout"), Session(sid)).ErrorCode(), 0);
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 119);
  EXPECT_EQ(Fetch(host_.Url(std::string(kTest) + "echo&_sid=" + sid)).ErrorCode(), 119);
}

// Five wrong passwords lock the account; then even the right one is refused
// (the unlock after the lockout time is checked with a clock of its own in
// the handler test).
TEST_F(HostHttpTest, FailedLoginsLockTheAccount) {
  StartHost();
  const std::string wrong = std::string(kAuth) + "login&account=alice&passwd=wrong";
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fetch(host_.Url(wrong)).ErrorCode(), 400);
  EXPECT_EQ(Fetch(host_.Url(std::string(kAuth) + "login&account=alice&passwd=s3cret+pass"))
                .ErrorCode(),
            407);
}

TEST_F(HostHttpTest, SessionsAreSharedByWorkersAndExpireWhenIdle) {
  StartHost({"--workers", "2", "--session-idle", "2"});
  std::string sid = Login();
  // Fresh connections land on either worker; the session holds on both.
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Call("echo", sid).ErrorCode(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 119);
}

TEST_F(HostHttpTest, HostErrorsAndEnvelopes) {
  StartHost({"--module", KINORO_SECOND_MODULE});
  const HttpOptions o = Session(Login());
  struct Case {
    std::string query;
    std::string body;
  };
  const Case cases[] = {
      {"version=1&method=echo", R"({"error":{"code":101},"success":false})"},
      {"api=Kinoro.Nope&version=1&method=echo", R"({"error":{"code":102},"success":false})"},
      {"api=Kinoro.Test&version=1&method=nope", R"({"error":{"code":103},"success":false})"},
      {"api=Kinoro.Test&version=3&method=echo", R"({"error":{"code":104},"success":false})"},
      {"api=Kinoro.Test&version=1&method=fail&code=117",
       R"({"error":{"code":117},"success":false})"},
      {"api=Kinoro.Test&version=1&method=throw", R"({"error":{"code":100},"success":false})"},
      {"api=Kinoro.Test&version=1&method=null_data", R"({"success":true})"},
      {"api=Kinoro.Other&version=1&method=hello", R"({"data":{"hello":"other"},"success":true})"},
  };
  for (const Case& c : cases) {
    HttpResult r = Fetch(host_.Url(c.query), o);
    EXPECT_EQ(r.status, 200) << c.query;
    EXPECT_EQ(r.Header("content-type"), "application/json") << c.query;
    EXPECT_EQ(r.body, c.body) << c.query;
  }
  EXPECT_NE(host_.Log().find("uncaught exception: test module failure"), std::string::npos)
      << host_.Log();
}

TEST_F(HostHttpTest, RawAnswersAndNotModified) {
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

  // Which tags match is the handler's test; this one is the wire.
  HttpOptions o = Session(sid);
  o.headers = {"If-None-Match: \"abc\""};
  HttpResult not_modified = Fetch(host_.Url(std::string(kTest) + "raw&etag=abc&body=JPEGDATA"), o);
  EXPECT_EQ(not_modified.status, 304);
  EXPECT_EQ(not_modified.body, "");
  EXPECT_EQ(not_modified.Header("etag"), "\"abc\"");

  // Output of one call never shows up in the next.
  EXPECT_EQ(Call("chatty", sid).body, "{\"data\":{},\"success\":true}");
  EXPECT_EQ(Call("raw&body=clean", sid).body, "clean");
  EXPECT_EQ(Call("raw_garbage", sid).ErrorCode(), 100);
}

// What the handler refuses is its own test; these are refused on the wire.
TEST_F(HostHttpTest, BadRequestsAreRefusedCleanly) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  const HttpOptions o = Session(sid);
  struct Case {
    std::string url;
    HttpOptions options;
    long status;
  };
  HttpOptions put = o;
  put.method = "PUT";
  HttpOptions big_post = o;
  big_post.method = "POST";
  big_post.body = "x=" + std::string(1024 * 1024, 'a');
  std::string base = "http://127.0.0.1:" + std::to_string(host_.port());
  const Case cases[] = {
      {base + "/webapi/query.cgi?" + kTest + "echo", o, 404},
      {host_.Url(std::string(kTest) + "echo"), put, 404},
      {host_.Url(std::string(kTest) + "echo&x=" + std::string(8 * 1024, 'a')), o, 414},
      {host_.Url(std::string(kTest) + "echo&x=" + std::string(100 * 1024, 'a')), o, 414},
      {host_.Url(std::string(kTest) + "echo"), big_post, 413},
  };
  for (const Case& c : cases) {
    HttpResult r = Fetch(c.url, c.options);
    EXPECT_EQ(r.curl_code, 0) << c.url.substr(0, 120);
    EXPECT_EQ(r.status, c.status) << c.url.substr(0, 120) << " " << r.body;
  }
  // Still serving, on the same single worker.
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 0);
  EXPECT_EQ(host_.Log().find("starting a new one"), std::string::npos) << host_.Log();
}

TEST_F(HostHttpTest, ManyClientsAtOnceAndASlowCallHoldsUpOnlyItsWorker) {
  StartHost({"--workers", "2"});
  std::string sid = Login();
  auto slow = std::async(std::launch::async, [&] { return Call("sleep&ms=2000", sid); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // The other worker keeps answering while the first one sleeps.
  std::vector<std::future<int>> clients;
  for (int c = 0; c < 4; ++c) {
    clients.push_back(std::async(std::launch::async, [&, c] {
      int ok = 0;
      for (int i = 0; i < 25; ++i) {
        HttpResult r = Call("echo&client=" + std::to_string(c) + "&i=" + std::to_string(i), sid);
        Json::Value params = r.Json()["data"]["params"];
        ok += params["client"].asInt() == c && params["i"].asInt() == i ? 1 : 0;
      }
      return ok;
    }));
  }
  for (auto& client : clients) EXPECT_EQ(client.get(), 25);
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the hundred calls waited for the sleeping worker";
  EXPECT_EQ(slow.get().ErrorCode(), 0);
}

TEST_F(HostHttpTest, CrashedWorkerIsReplaced) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  int before = Call("whoami", sid).Json()["data"]["pid"].asInt();
  ASSERT_GT(before, 0);

  HttpResult crash = Call("abort", sid);
  EXPECT_NE(crash.curl_code, 0) << "the connection dies with the worker";

  HttpResult next = Call("whoami", sid);
  ASSERT_EQ(next.ErrorCode(), 0) << next.body;
  EXPECT_NE(next.Json()["data"]["pid"].asInt(), before);
  std::string log = host_.Log();
  EXPECT_NE(log.find("worker 1 (pid " + std::to_string(before) +
                     ") was killed by signal 6 (Aborted); starting a new one"),
            std::string::npos)
      << log;
}

TEST_F(HostHttpTest, SigtermFinishesTheRequestInFlightAndExitsZero) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  auto slow = std::async(std::launch::async, [&] { return Call("sleep&ms=1500", sid); });
  // Let the request reach the worker before the signal.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  host_.Signal(SIGTERM);
  HttpResult r = slow.get();
  EXPECT_EQ(r.curl_code, 0);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Json()["data"]["slept_ms"].asInt(), 1500) << r.body;
  EXPECT_EQ(r.Header("connection"), "close");
  EXPECT_EQ(host_.Wait(10000), 0) << host_.Log();
  // Nobody listens any more.
  HttpOptions quick;
  quick.timeout_ms = 2000;
  EXPECT_NE(Fetch(host_.Url(std::string(kTest) + "echo"), quick).curl_code, 0);
}

TEST_F(HostHttpTest, AccessLogHasOneLinePerRequestAndFollowsSighup) {
  StartHost({"--workers", "1"});
  std::string sid = Login();
  Call("fail&code=117", sid);
  std::string log = ReadFile(host_.dir().File("access.log"));
  EXPECT_NE(log.find(" worker=1 api=VELM.API.Auth method=login status=200 error=0 ms="),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" worker=1 api=Kinoro.Test method=fail status=200 error=117 ms="),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << "no secrets in the log";

  ASSERT_EQ(
      rename(host_.dir().File("access.log").c_str(), host_.dir().File("access.log.1").c_str()), 0);
  host_.Signal(SIGHUP);
  // The worker says when it has reopened; wait for that, with a bound.
  bool reopened = false;
  for (int i = 0; i < 250 && !reopened; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    reopened = host_.Log().find("worker 1: logs reopened") != std::string::npos;
  }
  ASSERT_TRUE(reopened) << host_.Log();
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 0);
  EXPECT_NE(ReadFile(host_.dir().File("access.log")).find("method=echo"), std::string::npos);
  EXPECT_EQ(ReadFile(host_.dir().File("access.log.1")).find("method=echo"), std::string::npos);
}

TEST_F(HostHttpTest, IdleConnectionsAreClosed) {
  StartHost({"--workers", "1", "--idle-timeout", "1"});
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(host_.port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // Send nothing at all: the server must hang up on its own.
  auto start = std::chrono::steady_clock::now();
  char buf[256];
  ssize_t n = read(fd, buf, sizeof buf);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  EXPECT_EQ(n, 0) << "closed by the server, not timed out by us";
  EXPECT_LT(waited, 4.0);
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
  EXPECT_EQ(ids["ruid"].asUInt(), 0u);
  EXPECT_EQ(ids["suid"].asUInt(), 0u);
  EXPECT_EQ(ids["rgid"].asUInt(), 0u);
  EXPECT_EQ(ids["sgid"].asUInt(), 0u);
  EXPECT_EQ(Fetch(host_.Url(std::string(kAuth) + "logout"), Session(sid)).ErrorCode(), 0);
  EXPECT_EQ(Call("echo", sid).ErrorCode(), 119);
}

TEST(HostStartTest, ReportsWhatKeepsItFromStarting) {
  host::TempDir dir;
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--listen", "127.0.0.1:0", "--module", "/nonexistent/mod.so", "--foreground", "--users-db",
        dir.File("u.db")},
       "/nonexistent/mod.so"},
      {{"--listen", "127.0.0.1:0", "--module", KINORO_TEST_MODULE, "--foreground", "--users-db",
        "/nonexistent-dir/u.db"},
       "/nonexistent-dir/u.db"},
      {{"--listen", "203.0.113.1:0", "--module", KINORO_TEST_MODULE, "--foreground", "--users-db",
        dir.File("u.db")},
       "cannot listen"},
      {{"--listen", "127.0.0.1:0", "--module", KINORO_TEST_MODULE, "--foreground", "--users-db",
        dir.File("u.db"), "--user", "no-such-user-here"},
       "no system user"},
      {{"--listen", "127.0.0.1:0", "--frobnicate"}, "unknown option --frobnicate"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {KINORO_HOST_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string err;
    EXPECT_NE(RunProgram(argv, "", &err), 0) << c.says;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
}

TEST(HostUserCommandTest, AddListDelete) {
  host::TempDir dir;
  std::string db = dir.File("users.db");
  std::string err;
  EXPECT_EQ(RunProgram({KINORO_HOST_BIN, "user", "add", "alice", "--uid", "1001", "--users-db", db},
                       "pw\n", &err),
            0)
      << err;
  EXPECT_EQ(RunProgram(
                {KINORO_HOST_BIN, "user", "add", "root", "--uid", "0", "--admin", "--users-db", db},
                "pw", &err),
            0)
      << err;
  EXPECT_NE(RunProgram({KINORO_HOST_BIN, "user", "add", "alice", "--uid", "1002", "--users-db", db},
                       "pw\n", &err),
            0);
  EXPECT_NE(err.find("already exists"), std::string::npos) << err;
  EXPECT_NE(RunProgram({KINORO_HOST_BIN, "user", "add", "bob", "--uid", "1003", "--users-db", db},
                       "", &err),
            0);
  EXPECT_NE(err.find("standard input"), std::string::npos) << err;
  EXPECT_NE(RunProgram({KINORO_HOST_BIN, "user", "add", "bob", "--uid", "1003", "--users-db", db},
                       "\n", &err),
            0);
  EXPECT_NE(err.find("empty"), std::string::npos) << err;

  // user list prints to standard output; run it through a file.
  std::string list_path = dir.File("list");
  std::string cmd =
      std::string(KINORO_HOST_BIN) + " user list --users-db " + db + " > " + list_path;
  ASSERT_EQ(system(cmd.c_str()), 0);
  EXPECT_EQ(ReadFile(list_path), "0\troot\tadmin\n1001\talice\tuser\n");

  EXPECT_EQ(RunProgram({KINORO_HOST_BIN, "user", "del", "alice", "--users-db", db}, "", &err), 0)
      << err;
  EXPECT_NE(RunProgram({KINORO_HOST_BIN, "user", "del", "alice", "--users-db", db}, "", &err), 0);
  ASSERT_EQ(system(cmd.c_str()), 0);
  EXPECT_EQ(ReadFile(list_path), "0\troot\tadmin\n");
}

}  // namespace
}  // namespace http_test
}  // namespace kinoro
