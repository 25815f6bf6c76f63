// The metadata daemon's throughput: backup records handled per second for
// movies with two backdrops each (a sidecar and two images written, each
// synced), beside this disk's rate of synced small-file writes, which
// bounds it. Files go to KINORO_BENCH_DIR (default: a folder under /tmp),
// so run it on the disk you want to know about.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "libkinoro/api.h"
#include "metadatad/daemon.h"
#include "platform/services/share_config.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "velm/services.h"

namespace {

namespace fs = std::filesystem;
using LibKinoro::db::internal::Connection;

constexpr int kMovies = 200;

// A database of kMovies movies with two distinct 20 KB backdrops each, and
// their files in a share; made once per process.
struct World {
  std::string dir, share, queue;
  World() {
    const char* base = getenv("KINORO_BENCH_DIR");
    dir = std::string(base && *base ? base : "/tmp") + "/kinoro-metadatad-bench";
    fs::remove_all(dir);
    share = dir + "/share";
    fs::create_directories(share + "/images");
    queue = dir + "/queue";
    std::ofstream doc(dir + "/doc.json");
    doc << R"({"libraries": [{"id": 1, "public": true}], "movies": [)";
    for (int i = 1; i <= kMovies; ++i) {
      for (int b = 1; b <= 2; ++b) {
        std::ofstream(share + "/images/" + std::to_string(i * 2 + b) + ".jpg")
            << "\xff\xd8\xff\xe0" << std::string(20 * 1024, static_cast<char>(i * 2 + b))
            << "\xff\xd9";
      }
      std::ofstream(share + "/" + std::to_string(i) + ".mkv") << "v";
      doc << (i > 1 ? "," : "") << R"({"id": )" << i << R"(, "library_id": 1, "title": "M)" << i
          << R"(", "genres": ["Drama"], "actors": ["A", "B"], "backdrops": ["share/images/)"
          << i * 2 + 1 << R"(.jpg", "share/images/)" << i * 2 + 2
          << R"(.jpg"], "files": [{"path": ")" << share << "/" << i << R"(.mkv"}]})";
    }
    doc << "]}";
    doc.close();
    LibKinoro::db::SetDatabasePath(dir + "/kinoro.db");
    std::string error;
    if (!LibKinoro::db::internal::ImportFile(
            Connection::Get(LibKinoro::db::internal::OpenMode::kCreate), dir + "/doc.json", false,
            nullptr, &error)) {
      fprintf(stderr, "import: %s\n", error.c_str());
      abort();
    }
    std::ofstream(dir + "/shares.conf")
        << R"({"shares": [{"name": "media", "path": ")" << share << R"("}]})";
    VELMShareSetConfigPath(dir + "/shares.conf");
  }
  void Queue() {
    for (int i = 1; i <= kMovies; ++i) {
      WriteIndexQueue(("b:movie:" + std::to_string(i)).c_str(), queue.c_str());
    }
  }
  void RemoveSidecars() {
    for (const auto& entry : fs::directory_iterator(share)) {
      if (entry.path().string().find(".mkv.") != std::string::npos) fs::remove(entry.path());
    }
  }
};

World& TheWorld() {
  static World* world = new World();
  return *world;
}

void Pass(benchmark::State& state, bool fresh) {
  World& world = TheWorld();
  kinoro::metadatad::Options options;
  options.queue = world.queue;
  sigset_t stop;
  sigemptyset(&stop);
  for (auto _ : state) {
    state.PauseTiming();
    if (fresh) world.RemoveSidecars();
    world.Queue();
    state.ResumeTiming();
    kinoro::metadatad::PassCounts counts;
    if (!kinoro::metadatad::RunPass(options, stop, &counts) || counts.videos != kMovies) {
      state.SkipWithError("a pass failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kMovies);
}

// Records per second when every sidecar and backdrop is new.
void BM_PassWritingEverything(benchmark::State& state) { Pass(state, true); }
// Records per second when everything is already there (compared, not written).
void BM_PassWithNothingChanged(benchmark::State& state) { Pass(state, false); }

// Synced small-file writes per second on the same disk: write, fsync, rename.
void BM_SyncedFileWrite(benchmark::State& state) {
  const std::string dir = TheWorld().share;
  for (auto _ : state) {
    const std::string temp = dir + "/.sync.tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, "x", 1) != 1 || fsync(fd) != 0) state.SkipWithError("write failed");
    close(fd);
    rename(temp.c_str(), (dir + "/sync.file").c_str());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PassWritingEverything)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PassWithNothingChanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SyncedFileWrite)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
