// Test helpers: a private temporary directory removed with its content,
// whole-file reads and writes, and root files put in place for a while.
#ifndef KINORO_TESTS_SUPPORT_TEMP_DIR_H_
#define KINORO_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace kinoro_testing {

class TempDir {
 public:
  TempDir();   // aborts the test binary when no directory can be made
  ~TempDir();  // removes the directory and everything below it
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// false when the file cannot be written
bool WriteFile(const std::string& path, const std::string& content);
// empty when the file cannot be read
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);  // links are not followed
bool MakeDirs(const std::string& path);    // mkdir -p

// Puts `content` at `path` (making its directory), or with no content
// removes the file, for the object's lifetime; then restores what was there.
// For the fixed paths under the build's root that other tests also use.
class ScopedRootFile {
 public:
  ScopedRootFile(const std::string& path, const std::string& content);
  explicit ScopedRootFile(const std::string& path);
  ~ScopedRootFile();
  ScopedRootFile(const ScopedRootFile&) = delete;
  ScopedRootFile& operator=(const ScopedRootFile&) = delete;

  bool Write(const std::string& content) const;

 private:
  std::string path_;
  bool had_old_;
  std::string old_content_;
};

}  // namespace kinoro_testing

#endif  // KINORO_TESTS_SUPPORT_TEMP_DIR_H_
