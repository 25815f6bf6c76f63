// The host's own cost per request, without sockets: session lookup, the
// dispatcher's call (with its standard-output capture), and a whole request
// through the handler. The HTTP figures come from list_library.sh.
#include <benchmark/benchmark.h>

#include "platform/host/dispatcher.h"
#include "platform/host/request_handler.h"
#include "platform/host/users_db.h"
#include "platform/host/wire_params.h"
#include "tests/support/temp_dir.h"

namespace kinoro {
namespace host {
namespace {

struct Fixture {
  Fixture() {
    UseCheapPasswordHashesForTesting();
    std::string error;
    users.Open(dir.File("users.db"), &error);
    users.AddUser("bench", 1024, "pw", true, &error);
    sid = users.Login("bench", "pw", "127.0.0.1", 1'800'000'000, policy).sid;
    dispatcher.LoadModule(KINORO_TEST_MODULE, &error);
  }
  kinoro_testing::TempDir dir;
  UsersDb users;
  SessionPolicy policy;
  Dispatcher dispatcher;
  std::string sid;
};

void BM_LookupSession(benchmark::State& state) {
  Fixture f;
  UserRecord user;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.users.LookupSession(f.sid, 1'800'000'001, f.policy, &user));
  }
}
BENCHMARK(BM_LookupSession);

// Arg 1: standard output stays on the capture file between calls, as in a
// server worker.
void BM_DispatchJsonAnswer(benchmark::State& state) {
  Fixture f;
  f.dispatcher.KeepStdoutCaptured(state.range(0) != 0);
  Json::Value params(Json::objectValue);
  for (auto _ : state) {
    DispatchResult r = f.dispatcher.Call("Kinoro.Test", "1", "null_data", params, 1024, true);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_DispatchJsonAnswer)->Arg(0)->Arg(1);

void BM_DispatchRawAnswer(benchmark::State& state) {
  Fixture f;
  Json::Value params(Json::objectValue);
  params["body"] = std::string(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    DispatchResult r = f.dispatcher.Call("Kinoro.Test", "1", "raw", params, 1024, true);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DispatchRawAnswer)->Arg(100)->Arg(200 * 1024);

void BM_HandleRequest(benchmark::State& state) {
  Fixture f;
  RequestHandler handler(&f.dispatcher, &f.users, f.policy, HandlerOptions(),
                         [] { return static_cast<int64_t>(1'800'000'001); });
  HttpRequest request;
  request.method = "GET";
  request.path = kEntryPath;
  request.query =
      "api=Kinoro.Test&version=1&method=echo&offset=0&limit=50&additional=%5B%22summary%22%5D";
  request.cookie = "id=" + f.sid;
  for (auto _ : state) {
    HttpResponse r = handler.Handle(request);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_HandleRequest);

void BM_ParseWireValue(benchmark::State& state) {
  const std::string values[] = {"50", "recently_added", "[\"summary\",\"file\"]", "true"};
  for (auto _ : state) {
    for (const std::string& v : values) benchmark::DoNotOptimize(ParseWireValue(v));
  }
}
BENCHMARK(BM_ParseWireValue);

// A value nested past the reader's limit: what one such parameter costs.
void BM_ParseWireValueTooDeep(benchmark::State& state) {
  const std::string value = std::string(1001, '[') + std::string(1001, ']');
  for (auto _ : state) benchmark::DoNotOptimize(ParseWireValue(value));
}
BENCHMARK(BM_ParseWireValueTooDeep);

}  // namespace
}  // namespace host
}  // namespace kinoro

BENCHMARK_MAIN();
