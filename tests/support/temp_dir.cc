#include "tests/support/temp_dir.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kinoro_testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  path_ = std::string(base && base[0] ? base : "/tmp") + "/kinoro_test.XXXXXX";
  if (mkdtemp(&path_[0]) == nullptr) {
    perror("mkdtemp");
    abort();
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  out << content;
  out.close();
  return !out.fail();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PathExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

bool MakeDirs(const std::string& path) {
  std::error_code error;
  fs::create_directories(path, error);
  return !error && fs::is_directory(path, error);
}

ScopedRootFile::ScopedRootFile(const std::string& path, const std::string& content)
    : ScopedRootFile(path) {
  Write(content);
}

ScopedRootFile::ScopedRootFile(const std::string& path)
    : path_(path), had_old_(PathExists(path)), old_content_(ReadFile(path)) {
  unlink(path_.c_str());
}

ScopedRootFile::~ScopedRootFile() {
  if (had_old_) {
    WriteFile(path_, old_content_);
  } else {
    unlink(path_.c_str());
  }
}

bool ScopedRootFile::Write(const std::string& content) const {
  MakeDirs(fs::path(path_).parent_path());
  return WriteFile(path_, content);
}

}  // namespace kinoro_testing
