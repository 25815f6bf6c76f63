// Share path mapping on the movie list's hot path: cache-hit lookups and the
// share paths of one movie's file list. The database library is the test
// double, asked only while the cache warms up.
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "common/share_path.h"
#include "common/testing/fake_videodb.h"

namespace {

constexpr int kShares = 10;
constexpr int kMovieFiles = 20;

std::string ShareRoot(int i) {
  return "/volume" + std::to_string(i % 3 + 1) + "/share" + std::to_string(i);
}

// Library answer for the benchmark's shares: the path from the share name on.
std::string ShareOf(const std::string& vol_path) {
  for (int i = 0; i < kShares; ++i) {
    const std::string root = ShareRoot(i);
    if (vol_path.compare(0, root.size(), root) == 0) {
      return vol_path.substr(vol_path.find("/share"));
    }
  }
  return "";
}

std::string FilePath(int share, int n) {
  return ShareRoot(share) + "/Films/Some Film Title (20" + std::to_string(10 + n % 10) +
         ")/Some.Film.Title.1080p.part" + std::to_string(n) + ".mkv";
}

void WarmUp() {
  fake::ResetWorld();
  fake::World().share_path_by_vol = ShareOf;
  for (int i = 0; i < kShares; ++i) Kinoro::webapi::GetSharePath(FilePath(i, 0));
}

void BM_GetSharePathCacheHit(benchmark::State& state) {
  WarmUp();
  std::vector<std::string> paths;
  for (int i = 0; i < 100; ++i) paths.push_back(FilePath(i % kShares, i));
  const size_t calls_before = fake::World().share_path_calls.size();
  size_t i = 0;
  for (auto _ : state) {
    std::string share_path = Kinoro::webapi::GetSharePath(paths[i]);
    benchmark::DoNotOptimize(share_path);
    if (++i == paths.size()) i = 0;
  }
  if (fake::World().share_path_calls.size() != calls_before) state.SkipWithError("cache missed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetSharePathCacheHit);

Json::Value Movie() {
  Json::Value movie(Json::objectValue);
  movie["title"] = "Some Film Title";
  Json::Value& files = movie["file"];
  files = Json::Value(Json::arrayValue);
  for (int n = 0; n < kMovieFiles; ++n) {
    Json::Value file(Json::objectValue);
    file["id"] = n;
    file["path"] = FilePath(n % kShares, n);
    file["size"] = 1234567890;
    files.append(file);
  }
  return movie;
}

// Steady state: the "sharepath" members exist after the first round and
// are overwritten.
void BM_ApplySharePath20Files(benchmark::State& state) {
  WarmUp();
  Json::Value movie = Movie();
  for (auto _ : state) {
    Kinoro::webapi::ApplySharePath(movie);
    benchmark::DoNotOptimize(movie);
  }
  state.SetItemsProcessed(state.iterations() * kMovieFiles);
}
BENCHMARK(BM_ApplySharePath20Files);

// As in a listing: every movie is fresh, so "sharepath" is created. The copy
// is included; BM_CopyMovie20Files measures it alone.
void BM_ApplySharePath20FilesFresh(benchmark::State& state) {
  WarmUp();
  const Json::Value movie = Movie();
  for (auto _ : state) {
    Json::Value copy = movie;
    Kinoro::webapi::ApplySharePath(copy);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_ApplySharePath20FilesFresh);

void BM_CopyMovie20Files(benchmark::State& state) {
  const Json::Value movie = Movie();
  for (auto _ : state) {
    Json::Value copy = movie;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyMovie20Files);

}  // namespace

BENCHMARK_MAIN();
