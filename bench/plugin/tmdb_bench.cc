// What a tmdb similar lookup costs against a local stand-in for TMDb's web
// API, the first time (every page fetched, the answer stored) and from the
// answer cache, both through the engine as the module runs it and as the
// plug-in's own call without a process around it.
//
// The stand-in answers every movie with 3 pages of 20 recommendations and 3
// pages of 20 similar titles, half of them recommended too, in TMDb's shape
// with overviews of a typical length: 90 distinct titles for the module's
// count of 100, from 6 requests. The cache lives in a temporary folder.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/plugin/plugin_config.h"
#include "plugins/tmdb/tmdb.h"
#include "velm/plugin.h"

namespace {

constexpr int kPages = 3;
constexpr int kPageSize = 20;
constexpr unsigned long kLimit = 100;  // the module's largest count

std::string Page(int movie, bool recommended, int page) {
  Json::Value body(Json::objectValue);
  body["page"] = page;
  body["total_pages"] = kPages;
  body["total_results"] = kPages * kPageSize;
  Json::Value& results = body["results"] = Json::Value(Json::arrayValue);
  for (int i = 0; i < kPageSize; ++i) {
    // Similar titles from the middle of the recommended ones on.
    const int index = (page - 1) * kPageSize + i + (recommended ? 0 : kPages * kPageSize / 2);
    Json::Value title;
    title["id"] = movie * 1000 + index + 1;
    title["title"] = "Title " + std::to_string(index);
    title["original_title"] = title["title"];
    title["release_date"] = "1999-10-15";
    title["overview"] = std::string(300, 'o');
    title["poster_path"] = "/pB8BM7pdSp6B6Ih7QZ4DrQ3PmJK.jpg";
    title["backdrop_path"] = "/hZkgoQYus5vegHoetLkCJzb17zJ.jpg";
    title["vote_average"] = 7.5;
    results.append(title);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, body);
}

MHD_Result Handle(void*, MHD_Connection* connection, const char* url, const char*, const char*,
                  const char*, size_t*, void**) {
  int movie = 0;
  char list[32] = "";
  const char* page_arg = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "page");
  const int page = page_arg ? atoi(page_arg) : 1;
  std::string body = "{\"status_code\": 34, \"status_message\": \"not found\"}";
  unsigned status = 404;
  if (sscanf(url, "/3/movie/%d/%31s", &movie, list) == 2 && page >= 1 && page <= kPages) {
    const std::string name = list;
    if (name == "recommendations" || name == "similar") {
      body = Page(movie, name == "recommendations", page);
      status = 200;
    }
  }
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

// The stand-in, a plug-in folder with tmdb as installed, and its settings.
class Setup {
 public:
  Setup() {
    char dir[] = "/tmp/tmdb_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0,
                               nullptr, nullptr, &Handle, nullptr, MHD_OPTION_SOCK_ADDR, &addr,
                               MHD_OPTION_END);
    if (daemon_ == nullptr) return;
    const int port = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    settings_["api_key"] = "bench-key";
    settings_["base_url"] = "http://127.0.0.1:" + std::to_string(port) + "/3";
    settings_["cache_path"] = dir_ + "/tmdb-cache.db";
    const std::string plugin = dir_ + "/plugins/tmdb";
    mkdir((dir_ + "/plugins").c_str(), 0755);
    mkdir(plugin.c_str(), 0755);
    Json::Value conf;
    conf["settings"]["tmdb"] = settings_;
    FILE* file = fopen((dir_ + "/plugins.conf").c_str(), "w");
    if (file == nullptr || symlink(TMDB_PROGRAM, (plugin + "/tmdb").c_str()) != 0 ||
        symlink(TMDB_INFO, (plugin + "/INFO").c_str()) != 0) {
      if (file) fclose(file);
      return;
    }
    fputs(conf.toStyledString().c_str(), file);
    fclose(file);
    velm_plugin::SetPluginFolder(dir_ + "/plugins");
    velm_plugin::SetPluginConfPath(dir_ + "/plugins.conf");
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ready_ = true;
  }
  ~Setup() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    if (!dir_.empty() && system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
      fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }
  }

  bool ready() const { return ready_; }
  const Json::Value& settings() const { return settings_; }

 private:
  std::string dir_;
  MHD_Daemon* daemon_ = nullptr;
  Json::Value settings_;
  bool ready_ = false;
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

// Each uncached round asks about a movie never asked before; cached rounds
// ask about one movie looked up once before the timing.
int NextMovie(bool cached) {
  static int next = 1;
  return cached ? 1 : ++next;
}

// Through the engine: process start, request, answer, as the module sees it.
void BM_TmdbSimilarLookup(benchmark::State& state) {
  const bool cached = state.range(0) != 0;
  if (!Shared().ready()) return state.SkipWithError("no stand-in or plug-in folder");
  Json::Value plugins;
  VELMKinoro::VELMVideoLoadPluginFromFolder(plugins);
  auto lookup = [&](int movie, Json::Value* result) {
    Json::Value request;
    request["tmdb_id"] = movie;
    return VELMKinoro::VideoPluginLookup(plugins["tmdb"], "movie", "enu", request, *result, kLimit,
                                         true) == 0;
  };
  Json::Value result;
  if (cached && !lookup(NextMovie(true), &result)) return state.SkipWithError("lookup failed");
  for (auto _ : state) {
    if (!lookup(NextMovie(cached), &result) || result.size() != 90) {
      return state.SkipWithError("lookup failed or short");
    }
  }
}
BENCHMARK(BM_TmdbSimilarLookup)
    ->ArgName("cached")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The plug-in's answer alone, in this process.
void BM_TmdbSimilarAnswer(benchmark::State& state) {
  const bool cached = state.range(0) != 0;
  if (!Shared().ready()) return state.SkipWithError("no stand-in or plug-in folder");
  kinoro_plugins::Request request{"similar",     "movie", "enu",
                                  Json::Value(), kLimit,  Shared().settings()};
  Json::Value answer;
  std::string error;
  request.input["tmdb_id"] = NextMovie(true);
  if (cached && !kinoro_tmdb::Answer(request, &answer, &error)) {
    return state.SkipWithError(error.c_str());
  }
  for (auto _ : state) {
    request.input["tmdb_id"] = NextMovie(cached);
    if (!kinoro_tmdb::Answer(request, &answer, &error) || answer.size() != 90) {
      return state.SkipWithError("answer failed or short");
    }
  }
}
BENCHMARK(BM_TmdbSimilarAnswer)
    ->ArgName("cached")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
