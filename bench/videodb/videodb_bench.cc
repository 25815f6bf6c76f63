// Query costs of the video database library on generated databases.
//
// The databases are made once with the generator and kept in the bench data
// folder (KINORO_BENCH_DATA, else the build tree's bench-data), never in the
// repository; the 1M-movie one takes a few minutes to build the first time.
// KINORO_BENCH_MAX_MOVIES (default 1000000) skips the larger sizes.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/generator.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/sqlite_db.h"
#include "velm/caller.h"

#ifndef KINORO_BENCH_DATA_DEFAULT
#define KINORO_BENCH_DATA_DEFAULT "bench-data"
#endif

namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::Statement;

std::string DataDir() {
  const char* dir = getenv("KINORO_BENCH_DATA");
  std::string path = dir && *dir ? dir : KINORO_BENCH_DATA_DEFAULT;
  mkdir(path.c_str(), 0755);
  return path;
}

long long MaxMovies() {
  const char* max = getenv("KINORO_BENCH_MAX_MOVIES");
  return max && *max ? atoll(max) : 1000000;
}

long long MovieCount() {
  Connection* conn = Connection::Get();
  if (conn == nullptr) return -1;
  Statement stmt = conn->Prepare("SELECT COUNT(*) FROM movie");
  return stmt.Step() ? stmt.ColumnInt64(0) : -1;
}

// Makes the generated database of `movies` movies current, building it on
// first use. False when it cannot be built.
bool UseGenerated(long long movies) {
  static std::map<long long, bool> ready;
  std::string path = DataDir() + "/videodb-" + std::to_string(movies) + ".db";
  LibKinoro::db::SetDatabasePath(path);
  if (ready[movies]) return true;
  if (MovieCount() != movies) {
    // A partial file (an interrupted build) is discarded and made again.
    LibKinoro::db::SetDatabasePath(DataDir() + "/unused.db");
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
    LibKinoro::db::SetDatabasePath(path);
    fprintf(stderr, "bench: generating %lld movies into %s\n", movies, path.c_str());
    LibKinoro::db::internal::GenerateOptions options;
    options.movies = movies;
    options.seed = 1;
    options.progress = movies >= 100000;
    std::string error;
    Connection* conn = Connection::Get(LibKinoro::db::internal::OpenMode::kCreate);
    if (conn == nullptr || !LibKinoro::db::internal::Generate(conn, options, &error)) {
      fprintf(stderr, "bench: generate failed: %s\n", error.c_str());
      return false;
    }
    conn->Exec("PRAGMA wal_checkpoint(TRUNCATE); ANALYZE;");
  }
  ready[movies] = true;
  return true;
}

// ListTopRating(50) as the movie list asks for it: user 1001 (three of the
// four libraries), with "file", "summary", "genre", "poster_mtime" and,
// when range(1) is 1, "actor".
void BM_TopRating(benchmark::State& state) {
  long long movies = state.range(0);
  if (movies > MaxMovies()) {
    state.SkipWithError("size skipped by KINORO_BENCH_MAX_MOVIES");
    return;
  }
  if (!UseGenerated(movies)) {
    state.SkipWithError("cannot build the database");
    return;
  }
  LibKinoro::db::api::MovieAPI api;
  api.uid = 1001;
  api.with_file = api.with_summary = api.with_genre = api.with_poster_mtime = true;
  api.with_actor = state.range(1) != 0;
  size_t got = 0;
  for (auto _ : state) {
    std::vector<LibKinoro::db::record::Movie> list = api.ListTopRating(50);
    got = list.size();
    benchmark::DoNotOptimize(list.data());
  }
  if (got != 50) state.SkipWithError("fewer than 50 movies");
}
BENCHMARK(BM_TopRating)
    ->ArgNames({"movies", "actor"})
    ->ArgsProduct({{1000, 100000, 1000000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// ListInTMDb with 100 ids spread over the database (generated TMDb ids are
// 3 * index + 11; some indexes have none), as the administrator.
void BM_ListInTMDb(benchmark::State& state) {
  long long movies = state.range(0);
  if (movies > MaxMovies()) {
    state.SkipWithError("size skipped by KINORO_BENCH_MAX_MOVIES");
    return;
  }
  if (!UseGenerated(movies)) {
    state.SkipWithError("cannot build the database");
    return;
  }
  std::vector<long long> ids;
  for (long long i = 0; i < 100; ++i) ids.push_back(3 * (1 + i * (movies / 100)) + 11);
  LibKinoro::db::api::MovieAPI api;
  api.is_admin = true;
  size_t got = 0;
  for (auto _ : state) {
    std::vector<LibKinoro::db::record::Movie> list = api.ListInTMDb(ids);
    got = list.size();
    benchmark::DoNotOptimize(list.data());
  }
  state.counters["matched"] = static_cast<double>(got);
}
BENCHMARK(BM_ListInTMDb)
    ->ArgName("movies")
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);

// GetByMapperID of one image of range(0) KB stored inline (range(1) 1) or
// as a file (0), to check the size at which the store switches.
void BM_GetByMapperID(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) * 1024;
  const bool inline_blob = state.range(1) != 0;
  std::string path = DataDir() + "/backdrops.db";
  LibKinoro::db::SetDatabasePath(path);
  Connection* conn = Connection::Get(LibKinoro::db::internal::OpenMode::kCreate);
  if (conn == nullptr) {
    state.SkipWithError("cannot open the database");
    return;
  }
  // One video per variant; mapper id = size in KB * 10 + variant.
  int mapper_id = static_cast<int>(state.range(0) * 10 + state.range(1));
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 131 + 7) & 0xff);
  image[0] = '\xff';
  image[1] = '\xd8';
  image[2] = '\xff';
  conn->Exec("INSERT OR IGNORE INTO library (id, title, type) VALUES (1, 'bench', 'movie')");
  Statement mapper = conn->Prepare(
      "INSERT OR IGNORE INTO mapper (id, type, video_id, library_id, create_time) "
      "VALUES (?1, 4, ?1, 1, 0)");
  mapper.Bind(1, mapper_id).Run();
  Statement drop = conn->Prepare("DELETE FROM backdrop WHERE mapper_id = ?1");
  drop.Bind(1, mapper_id).Run();
  std::string md5 = LibKinoro::db::internal::Md5(image);
  Statement add = conn->Prepare(
      "INSERT INTO backdrop (mapper_id, image, file, md5, size, mtime) "
      "VALUES (?1, ?2, ?3, ?4, ?5, 0)");
  add.Bind(1, mapper_id);
  if (inline_blob) {
    add.BindBlob(2, image.data(), image.size()).BindNull(3);
  } else {
    std::string name = LibKinoro::db::internal::HexString(md5) + ".img";
    std::string dir = LibKinoro::db::internal::DatabaseDir(path) + "/images";
    mkdir(dir.c_str(), 0755);
    FILE* f = fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr || fwrite(image.data(), 1, image.size(), f) != image.size()) {
      if (f) fclose(f);
      state.SkipWithError("cannot write the image file");
      return;
    }
    fclose(f);
    add.BindNull(2).Bind(3, name);
  }
  add.BindBlob(4, md5.data(), md5.size()).Bind(5, static_cast<long long>(size));
  if (!add.Run()) {
    state.SkipWithError("cannot store the image");
    return;
  }
  add = Statement();
  // Measure the steady state: the row checkpointed into the database file,
  // where SQLite reads large overflow chains page by page.
  conn->Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  velm::SetCallerSystem();  // as a tool: every library is visible
  LibKinoro::db::api::BackdropAPI api;
  for (auto _ : state) {
    std::string digest;
    std::string bytes = api.GetByMapperID(mapper_id, digest);
    if (bytes.size() != size) state.SkipWithError("wrong image");
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_GetByMapperID)
    ->ArgNames({"kb", "inline"})
    ->ArgsProduct({{32, 64, 100, 300}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
