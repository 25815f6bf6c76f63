// A temporary directory for one benchmark run, removed with everything in it.
#ifndef KINORO_BENCH_HTTP_TEMP_DIR_H_
#define KINORO_BENCH_HTTP_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kinoro {
namespace host {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/kinoro-host-test.XXXXXX";
    const char* made = mkdtemp(name);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_BENCH_HTTP_TEMP_DIR_H_
