#include "common/testing/temp_dir.h"

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kinoro_testing {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && base[0] ? base : "/tmp") + "/kinoro_test.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = templ;
}

TempDir::~TempDir() { nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
  out << content;
  out.close();
  return !out.fail();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool MakeDirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

ScopedRootFile::ScopedRootFile(const std::string& path, const std::string& content) : path_(path) {
  SaveOld();
  Write(content);
}

ScopedRootFile::ScopedRootFile(const std::string& path) : path_(path) {
  SaveOld();
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
  std::string::size_type slash = path_.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path_.substr(0, slash));
  return WriteFile(path_, content);
}

void ScopedRootFile::SaveOld() {
  had_old_ = PathExists(path_);
  if (had_old_) old_content_ = ReadFile(path_);
}

}  // namespace kinoro_testing
