// Where poster and backdrop bytes live. Small images are kept inside the
// database row, larger ones are files named by their digest in the image
// folder beside the database, written completely (fsync, rename) before a row names them, so a
// row never points at a missing or partial file.
#ifndef KINORO_PLATFORM_VIDEODB_IMAGE_STORE_H_
#define KINORO_PLATFORM_VIDEODB_IMAGE_STORE_H_

#include <cstddef>
#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

// Images up to this size are stored inline. SQLite's own guidance puts the
// break-even near 100 KB; measured here (videodb_bench BM_GetByMapperID, a
// checkpointed row), an inline 64 KB image reads in about 14 us and a 72 KB
// one in about 180 us, because SQLite then reads the overflow chain page by
// page from the file, while a file of any size up to 300 KB reads in 20 to
// 35 us.
constexpr size_t kInlineImageMax = 64 * 1024;

struct StoredImage {
  std::string blob;  // the bytes when inline
  std::string file;  // the file name in the image folder otherwise
  std::string md5;   // 16 bytes
  long long size = 0;
};

class ImageStore {
 public:
  explicit ImageStore(const std::string& db_path);

  const std::string& dir() const { return dir_; }

  // Prepares `bytes` for a row. `created` tells whether a new file was
  // written (the caller removes it again if its transaction fails). False on
  // an I/O failure (logged).
  bool Prepare(const std::string& bytes, StoredImage* out, bool* created);

  // The bytes of a stored file; false when it cannot be read.
  bool Read(const std::string& file, std::string* bytes) const;

  // Removes the file unless a poster or backdrop row still names it. Called
  // after the transaction that dropped the row committed; a crash before
  // this only leaves an unreferenced file, never a dangling row.
  void RemoveIfUnreferenced(Connection* conn, const std::string& file) const;
  void Remove(const std::string& file) const;

  // Removes what a crash can leave behind: unfinished temporary files and
  // files no row names. Only files older than `min_age_s` are touched, so an
  // Add in progress (file written, row not yet committed) keeps its file.
  // The number of files removed.
  int Sweep(Connection* conn, long long min_age_s) const;

 private:
  std::string dir_;
};

// Reads a whole file; false when it cannot be read or exceeds max_bytes.
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* bytes);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_IMAGE_STORE_H_
