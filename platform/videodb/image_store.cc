#include "platform/videodb/image_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/services/scoped_fd.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/sqlite_db.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

using Fd = velm_services::ScopedFd;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* bytes) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || static_cast<unsigned long long>(st.st_size) > max_bytes) {
    return false;
  }
  // Read straight into the result: one read for the expected size, then
  // more only if the file grew meanwhile (up to the cap).
  size_t expected = static_cast<size_t>(st.st_size);
  bytes->resize(expected + 1);
  size_t have = 0;
  for (;;) {
    if (have == bytes->size()) {
      if (bytes->size() > max_bytes) return false;
      bytes->resize(bytes->size() + 65536);
    }
    ssize_t n = read(fd.get(), &(*bytes)[have], bytes->size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have > max_bytes) return false;
  bytes->resize(have);
  return true;
}

ImageStore::ImageStore(const std::string& db_path) : dir_(DatabaseDir(db_path) + "/images") {}

bool ImageStore::Prepare(const std::string& bytes, StoredImage* out, bool* created) {
  *created = false;
  out->md5 = Md5(bytes);
  out->size = static_cast<long long>(bytes.size());
  out->blob.clear();
  out->file.clear();
  if (bytes.size() <= kInlineImageMax) {
    out->blob = bytes;
    return true;
  }
  // Named by content: the same image added twice shares one file.
  std::string name = HexString(out->md5) + ".img";
  std::string final_path = dir_ + "/" + name;
  struct stat st;
  if (stat(final_path.c_str(), &st) == 0 && st.st_size == static_cast<off_t>(bytes.size())) {
    out->file = name;
    return true;
  }
  if (mkdir(dir_.c_str(), 0755) != 0 && errno != EEXIST) {
    syslog(LOG_ERR, "%s:%d mkdir %s failed: %s", "image_store", __LINE__, dir_.c_str(),
           strerror(errno));
    return false;
  }
  std::string tmp = dir_ + "/.tmp-XXXXXX";
  Fd fd(mkostemp(&tmp[0], O_CLOEXEC));
  if (fd.get() < 0) {
    syslog(LOG_ERR, "%s:%d cannot create %s: %s", "image_store", __LINE__, tmp.c_str(),
           strerror(errno));
    return false;
  }
  bool ok = WriteAll(fd.get(), bytes.data(), bytes.size()) && fchmod(fd.get(), 0644) == 0 &&
            fsync(fd.get()) == 0;
  ok = close(fd.Release()) == 0 && ok;
  if (!ok || rename(tmp.c_str(), final_path.c_str()) != 0) {
    syslog(LOG_ERR, "%s:%d cannot write %s: %s", "image_store", __LINE__, final_path.c_str(),
           strerror(errno));
    unlink(tmp.c_str());
    return false;
  }
  // The rename must be durable before a committed row names the file.
  Fd dir_fd(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() >= 0) fsync(dir_fd.get());
  out->file = name;
  *created = true;
  return true;
}

bool ImageStore::Read(const std::string& file, std::string* bytes) const {
  if (!ReadWholeFile(dir_ + "/" + file, static_cast<size_t>(1) << 31, bytes)) {
    syslog(LOG_ERR, "%s:%d cannot read image %s/%s", "image_store", __LINE__, dir_.c_str(),
           file.c_str());
    return false;
  }
  return true;
}

void ImageStore::RemoveIfUnreferenced(Connection* conn, const std::string& file) const {
  Statement stmt = conn->Prepare(
      "SELECT EXISTS (SELECT 1 FROM backdrop WHERE file = ?1) "
      "    OR EXISTS (SELECT 1 FROM poster WHERE file = ?1)");
  stmt.Bind(1, file);
  if (!stmt.Step() || stmt.ColumnInt(0) != 0) return;  // in use, or unsure: keep it
  Remove(file);
}

int ImageStore::Sweep(Connection* conn, long long min_age_s) const {
  DIR* dir = opendir(dir_.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> candidates;
  long long now = NowSeconds();
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (lstat((dir_ + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - static_cast<long long>(st.st_mtime) < min_age_s) continue;
    candidates.push_back(name);
  }
  closedir(dir);
  int removed = 0;
  for (const std::string& name : candidates) {
    bool temporary = name.rfind(".tmp-", 0) == 0;
    if (!temporary) {
      Statement stmt = conn->Prepare(
          "SELECT EXISTS (SELECT 1 FROM backdrop WHERE file = ?1) "
          "    OR EXISTS (SELECT 1 FROM poster WHERE file = ?1)");
      stmt.Bind(1, name);
      if (!stmt.Step() || stmt.ColumnInt(0) != 0) continue;
    }
    if (unlink((dir_ + "/" + name).c_str()) == 0) ++removed;
  }
  return removed;
}

void ImageStore::Remove(const std::string& file) const {
  if (!file.empty()) unlink((dir_ + "/" + file).c_str());
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
