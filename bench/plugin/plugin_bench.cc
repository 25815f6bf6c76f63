// What one plug-in lookup costs: the bare fork and exec, the engine's whole
// round (description, configuration, child, JSON both ways) with a program
// that answers at once, local_similar ranking a generated library on a fresh
// process per lookup and on a warm one, and the module's per-call reading of
// the configuration and the plug-in folder.
//
// Generated databases are made once with kinoro-db and kept in the bench
// data folder (KINORO_BENCH_DATA, else the build tree's bench-data).
// KINORO_BENCH_MAX_MOVIES (default 100000) skips the larger sizes.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/plugin/child_process.h"
#include "platform/plugin/plugin_config.h"
#include "velm/plugin.h"

namespace {

std::string DataDir() {
  const char* dir = getenv("KINORO_BENCH_DATA");
  std::string path = dir && *dir ? dir : KINORO_BENCH_DATA_DEFAULT;
  mkdir(path.c_str(), 0755);
  return path;
}

long long MaxMovies() {
  const char* max = getenv("KINORO_BENCH_MAX_MOVIES");
  return max && *max ? atoll(max) : 100000;
}

// A plug-in folder with local_similar in it and a configuration that points
// it at `db` (made with the generator when missing). `warm`: its INFO says
// it serves many requests, so the engine keeps its process.
bool Prepare(long long movies, bool warm, std::string* error) {
  const std::string dir = DataDir();
  const std::string db = dir + "/plugin-" + std::to_string(movies) + ".db";
  struct stat st;
  if (movies > 0 && stat(db.c_str(), &st) != 0) {
    velm_plugin::ChildOptions generate;
    generate.program = KINORO_DB_PROGRAM;
    generate.args = {"--db", db, "generate", "--movies", std::to_string(movies)};
    generate.timeout_ms = 600000;
    velm_plugin::ChildResult run = velm_plugin::RunChild(generate, "");
    if (run.outcome != velm_plugin::ChildOutcome::kExited || run.exit_code != 0) {
      *error = "kinoro-db generate failed: " + run.err;
      return false;
    }
  }
  const std::string folder = dir + "/plugins";
  const std::string plugin = folder + "/local_similar";
  mkdir(folder.c_str(), 0755);
  mkdir(plugin.c_str(), 0755);
  unlink((plugin + "/local_similar").c_str());
  if (symlink(LOCAL_SIMILAR_PROGRAM, (plugin + "/local_similar").c_str()) != 0) {
    *error = "cannot link the program";
    return false;
  }
  FILE* info = fopen((plugin + "/INFO").c_str(), "w");
  FILE* conf = fopen((dir + "/plugins.conf").c_str(), "w");
  if (info == nullptr || conf == nullptr) {
    if (info) fclose(info);
    if (conf) fclose(conf);
    *error = "cannot write the plug-in files";
    return false;
  }
  fprintf(info, R"({"id": "local_similar", "types": ["movie"], "actions": ["similar"],
                   "exec": "local_similar", "timeout_s": 60, "serves_many": %s})",
          warm ? "true" : "false");
  fprintf(conf, R"({"settings": {"local_similar": {"database": "%s"}}})", db.c_str());
  fclose(info);
  fclose(conf);
  velm_plugin::SetPluginFolder(folder);
  velm_plugin::SetPluginConfPath(dir + "/plugins.conf");
  // The engine re-reads files written in the last second on every call (a
  // time stamp cannot tell a second write in the same tick); a module on a
  // running system sees settled files.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  return true;
}

void BM_ForkExecTrue(benchmark::State& state) {
  velm_plugin::ChildOptions options;
  options.program = "/bin/true";
  for (auto _ : state) {
    velm_plugin::ChildResult run = velm_plugin::RunChild(options, "{}\n");
    if (run.outcome != velm_plugin::ChildOutcome::kExited) state.SkipWithError("run failed");
  }
}
BENCHMARK(BM_ForkExecTrue)->Unit(benchmark::kMillisecond);

// tmdb_id -1: local_similar answers [] without opening the database; the
// argument 1 keeps its process warm.
void BM_LookupImmediateAnswer(benchmark::State& state) {
  std::string error;
  if (!Prepare(0, state.range(0) != 0, &error)) return state.SkipWithError(error.c_str());
  Json::Value request;
  request["tmdb_id"] = -1;
  for (auto _ : state) {
    Json::Value plugins, result;
    VELMKinoro::VELMVideoLoadPluginFromFolder(plugins);
    if (VELMKinoro::VideoPluginLookup(plugins["local_similar"], "movie", "enu", request, result,
                                      100, true) != 0) {
      state.SkipWithError("lookup failed");
    }
  }
}
BENCHMARK(BM_LookupImmediateAnswer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// tmdb as installed (its own INFO and program) with no api_key set: what a
// similar lookup costs on a system where nobody entered a TMDb key.
void BM_LookupWithoutSettings(benchmark::State& state) {
  const std::string dir = DataDir() + "/unconfigured";
  const std::string plugin = dir + "/plugins/tmdb";
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/plugins").c_str(), 0755);
  mkdir(plugin.c_str(), 0755);
  unlink((plugin + "/tmdb").c_str());
  unlink((plugin + "/INFO").c_str());
  if (symlink(TMDB_PROGRAM, (plugin + "/tmdb").c_str()) != 0 ||
      symlink(TMDB_INFO, (plugin + "/INFO").c_str()) != 0) {
    return state.SkipWithError("cannot link the plug-in");
  }
  FILE* conf = fopen((dir + "/plugins.conf").c_str(), "w");
  if (conf == nullptr) return state.SkipWithError("cannot write the configuration");
  fputs(R"({"settings": {"tmdb": {"api_key": ""}}})", conf);
  fclose(conf);
  velm_plugin::SetPluginFolder(dir + "/plugins");
  velm_plugin::SetPluginConfPath(dir + "/plugins.conf");
  Json::Value request;
  request["tmdb_id"] = 550;
  for (auto _ : state) {
    Json::Value plugins, result;
    VELMKinoro::VELMVideoLoadPluginFromFolder(plugins);
    VELMKinoro::VideoPluginLookup(plugins["tmdb"], "movie", "enu", request, result, 100, true);
  }
}
BENCHMARK(BM_LookupWithoutSettings)->Unit(benchmark::kMicrosecond);

// What the module does before every plug-in pass: read the configuration
// and the plug-in folder.
void BM_LoadConfAndFolder(benchmark::State& state) {
  std::string error;
  if (!Prepare(0, false, &error)) return state.SkipWithError(error.c_str());
  for (auto _ : state) {
    Json::Value conf, plugins;
    if (VELMKinoro::VELMVideoLoadPluginFromConf(conf) != 0 ||
        VELMKinoro::VELMVideoLoadPluginFromFolder(plugins) != 0) {
      return state.SkipWithError("load failed");
    }
    benchmark::DoNotOptimize(plugins);
  }
}
BENCHMARK(BM_LoadConfAndFolder)->Unit(benchmark::kMicrosecond);

// The similar titles of the generator's first movies (TMDb ids 3i + 11);
// the second argument 1 keeps the plug-in's process warm.
void BM_LocalSimilar(benchmark::State& state) {
  const long long movies = state.range(0);
  if (movies > MaxMovies()) return state.SkipWithError("over KINORO_BENCH_MAX_MOVIES");
  std::string error;
  if (!Prepare(movies, state.range(1) != 0, &error)) return state.SkipWithError(error.c_str());
  Json::Value plugins;
  VELMKinoro::VELMVideoLoadPluginFromFolder(plugins);
  long long index = 1;
  size_t answered = 0;
  for (auto _ : state) {
    Json::Value request, result;
    request["tmdb_id"] = Json::Int64(3 * index + 11);
    index = index % 50 + 1;
    if (VELMKinoro::VideoPluginLookup(plugins["local_similar"], "movie", "enu", request, result,
                                      100, true) != 0) {
      return state.SkipWithError("lookup failed");
    }
    answered += result.size();
  }
  state.counters["titles"] =
      benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_LocalSimilar)
    ->ArgsProduct({{1000, 10000, 100000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
