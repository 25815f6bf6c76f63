// Test helpers: a private temporary directory removed with its content, and
// whole-file reads and writes.
#ifndef KINORO_COMMON_TESTING_TEMP_DIR_H_
#define KINORO_COMMON_TESTING_TEMP_DIR_H_

#include <string>

namespace kinoro_testing {

class TempDir {
 public:
  TempDir();   // aborts the test binary when no directory can be made
  ~TempDir();  // removes the directory and everything below it
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Replaces the file's content; false when the file cannot be written.
bool WriteFile(const std::string& path, const std::string& content);
// The file's content; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);
// mkdir -p
bool MakeDirs(const std::string& path);

// Puts `content` at `path` (making its directory) for the lifetime of the
// object, then restores what was there before: the old content, or no file.
// For fixed paths under the build's root that other tests may also use.
class ScopedRootFile {
 public:
  ScopedRootFile(const std::string& path, const std::string& content);
  // Removes the file (if any) for the lifetime of the object.
  explicit ScopedRootFile(const std::string& path);
  ~ScopedRootFile();
  ScopedRootFile(const ScopedRootFile&) = delete;
  ScopedRootFile& operator=(const ScopedRootFile&) = delete;

  // Replaces the content while the object lives.
  bool Write(const std::string& content) const;

 private:
  void SaveOld();

  std::string path_;
  bool had_old_ = false;
  std::string old_content_;
};

}  // namespace kinoro_testing

#endif  // KINORO_COMMON_TESTING_TEMP_DIR_H_
