// BackdropAPI: a video's fan-art images, addressed by mapper id.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libkinoro/api.h"
#include "platform/services/log_value.h"
#include "platform/videodb/config.h"
#include "platform/videodb/download.h"
#include "platform/videodb/image_check.h"
#include "platform/videodb/image_store.h"
#include "platform/videodb/safe_open.h"
#include "platform/videodb/scope.h"
#include "platform/videodb/sqlite_db.h"
#include "velm/caller.h"
#include "velm/services.h"

namespace LibKinoro {
namespace db {
namespace api {

using internal::Connection;
using internal::Statement;

namespace {

constexpr long long kMaxBackdropBytes = 20LL * 1024 * 1024;

// The type names of backdrop requests and of GetIDTypeFromMapperID.
struct TypeName {
  const char* name;
  int type;
};
const TypeName kTypeNames[] = {
    {"movie", VIDEO_TYPE_MOVIE},           {"tvshow", VIDEO_TYPE_TVSHOW},
    {"video", VIDEO_TYPE_HOME_VIDEO},      {"tvshow_episode", VIDEO_TYPE_TVSHOW_EPISODE},
    {"home_video", VIDEO_TYPE_HOME_VIDEO}, {nullptr, VIDEO_TYPE_NONE},
};

int TypeFromName(const std::string& name) {
  for (const TypeName* t = kTypeNames; t->name != nullptr; ++t) {
    if (name == t->name) return t->type;
  }
  return VIDEO_TYPE_NONE;
}

std::string NameFromType(int type) {
  for (const TypeName* t = kTypeNames; t->name != nullptr; ++t) {
    if (type == t->type) return t->name;  // first match: the request's own name
  }
  return "";
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr) return "";
  return buf;
}

std::string DownloadFolder() { return internal::DatabaseDir(GetDatabasePath()) + "/download"; }

// The folders Add takes images from: every share root, as configured and as
// resolved (a root may itself be a link), and the library's download folder.
std::vector<std::string> AllowedRoots() {
  std::vector<std::string> roots = {DownloadFolder()};
  PVELMSHARE* shares = nullptr;
  int count = 0;
  if (VELMShareList(&shares, &count) == 0) {
    for (int i = 0; i < count; ++i) {
      if (shares[i] == nullptr || shares[i]->szPath == nullptr) continue;
      roots.push_back(shares[i]->szPath);
      roots.push_back(RealPath(shares[i]->szPath));
    }
    VELMShareFreeList(shares, count);
  }
  for (std::string& root : roots) {
    while (root.size() > 1 && root.back() == '/') root.pop_back();
  }
  return roots;
}

// Splits an absolute path into the longest allowed root it lies below and
// the rest. False when it lies below none.
bool SplitAtAllowedRoot(const std::string& path, std::string* root, std::string* rest) {
  bool found = false;
  for (const std::string& candidate : AllowedRoots()) {
    if (candidate.empty() || candidate[0] != '/') continue;
    if (found && candidate.size() <= root->size()) continue;
    if (path.compare(0, candidate.size(), candidate) != 0) continue;
    if (candidate == "/") {
      *rest = path.substr(1);
    } else if (path.size() == candidate.size()) {
      rest->clear();
    } else if (path[candidate.size()] == '/') {
      *rest = path.substr(candidate.size() + 1);
    } else {
      continue;
    }
    *root = candidate;
    found = true;
  }
  return found;
}

// Opens the image below its allowed root without following any link under
// the root, so that neither a planted link nor a folder swapped for one
// after a check reaches outside. -1 (logged) on failure.
int OpenImage(const std::string& path) {
  std::string root;
  std::string rest;
  if (!SplitAtAllowedRoot(path, &root, &rest)) {
    syslog(LOG_ERR, "%s:%d backdrop refused %s: outside every share and the download folder",
           "backdrop_api", __LINE__, velm::LogValue(path).c_str());
    return -1;
  }
  int root_fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  int fd = root_fd < 0 ? -1 : internal::OpenBeneath(root_fd, rest);
  int saved = errno;
  if (root_fd >= 0) close(root_fd);
  if (fd < 0) {
    const char* why = saved == ELOOP   ? "a symbolic link below the share root"
                      : saved == EXDEV ? "\"..\" below the share root"
                                       : strerror(saved);
    syslog(LOG_ERR, "%s:%d backdrop refused %s: %s", "backdrop_api", __LINE__,
           velm::LogValue(path).c_str(), why);
  }
  return fd;
}

// Reads the image that Add may store, as it is to be stored (a PNG becomes a
// JPEG); false with the reason logged.
bool ReadAcceptedImage(const std::string& path, std::string* bytes) {
  // A C string would end at the NUL and name another file than the caller's.
  if (path.find('\0') != std::string::npos) {
    syslog(LOG_ERR, "%s:%d backdrop refused: the path holds a NUL", "backdrop_api", __LINE__);
    return false;
  }
  int fd = OpenImage(path);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    syslog(LOG_ERR, "%s:%d backdrop refused %s: not a regular file", "backdrop_api", __LINE__,
           velm::LogValue(path).c_str());
    ok = false;
  } else if (ok && st.st_size > kMaxBackdropBytes) {
    syslog(LOG_ERR, "%s:%d backdrop refused %s: %lld bytes, more than %lld", "backdrop_api",
           __LINE__, velm::LogValue(path).c_str(), static_cast<long long>(st.st_size),
           kMaxBackdropBytes);
    ok = false;
  }
  if (ok) {
    bytes->clear();
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      if (bytes->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxBackdropBytes)) {
        syslog(LOG_ERR, "%s:%d backdrop refused %s: grew past %lld bytes", "backdrop_api", __LINE__,
               velm::LogValue(path).c_str(), kMaxBackdropBytes);
        ok = false;
        break;
      }
      bytes->append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  std::string why;
  std::string stored;
  if (ok && !internal::PrepareBackdropImage(*bytes, &stored, &why)) {
    syslog(LOG_ERR, "%s:%d backdrop refused %s: %s", "backdrop_api", __LINE__,
           velm::LogValue(path).c_str(), why.c_str());
    ok = false;
  }
  if (ok) bytes->swap(stored);
  return ok;
}

// The caller the host named for this call; false (logged) when there is
// none, which the backdrop calls answer as for a video that does not exist.
bool CurrentCaller(const char* call, velm::Caller* caller) {
  *caller = velm::GetCaller();
  if (caller->kind != velm::CallerKind::kNone) return true;
  syslog(LOG_ERR, "%s:%d %s refused: no caller is set for this call", "backdrop_api", __LINE__,
         call);
  return false;
}

struct Video {
  int mapper_id = -1;
  int video_id = -1;
  int type = VIDEO_TYPE_NONE;
};

enum class Lookup { kVisible, kNotFound, kFailed };

// The video of the mapper row that `select` yields, if the caller may see
// its library. A video in a library the caller may not see is answered
// exactly as one that does not exist, so that ids cannot be probed.
Lookup FindVisibleVideo(Connection* conn, const velm::Caller& caller, Statement* select,
                        Video* video) {
  if (!select->Step()) return select->failed() ? Lookup::kFailed : Lookup::kNotFound;
  video->mapper_id = select->ColumnInt(0);
  video->video_id = select->ColumnInt(1);
  video->type = select->ColumnInt(2);
  int library_id = select->ColumnInt(3);
  *select = Statement();
  if (caller.kind == velm::CallerKind::kSystem || caller.is_admin) return Lookup::kVisible;
  bool visible = false;
  if (!internal::LibraryVisible(conn, false, caller.uid, library_id, &visible)) {
    return Lookup::kFailed;
  }
  return visible ? Lookup::kVisible : Lookup::kNotFound;
}

Lookup FindVisibleMapper(Connection* conn, const velm::Caller& caller, int mapper_id,
                         Video* video) {
  if (mapper_id <= 0) return Lookup::kNotFound;
  Statement stmt = conn->Prepare("SELECT id, video_id, type, library_id FROM mapper WHERE id = ?1");
  stmt.Bind(1, mapper_id);
  return FindVisibleVideo(conn, caller, &stmt, video);
}

// The stored files of the video's backdrops other than `keep_id`.
std::vector<std::string> BackdropFiles(Connection* conn, int mapper_id, long long keep_id) {
  std::vector<std::string> files;
  Statement stmt = conn->Prepare(
      "SELECT file FROM backdrop WHERE mapper_id = ?1 AND id != ?2 AND file IS NOT NULL");
  stmt.Bind(1, mapper_id).Bind(2, keep_id);
  while (stmt.Step()) files.push_back(stmt.ColumnText(0));
  return files;
}

}  // namespace

int BackdropAPI::GetMapperID(int id, const std::string& type) const {
  velm::Caller caller;
  if (!CurrentCaller("GetMapperID", &caller)) return -1;
  int video_type = TypeFromName(type);
  if (video_type == VIDEO_TYPE_NONE || id <= 0) return -1;
  Connection* conn = Connection::Get();
  if (conn == nullptr) return -1;
  Statement stmt = conn->Prepare(
      "SELECT id, video_id, type, library_id FROM mapper WHERE type = ?1 AND video_id = ?2");
  stmt.Bind(1, video_type).Bind(2, id);
  Video video;
  if (FindVisibleVideo(conn, caller, &stmt, &video) != Lookup::kVisible) return -1;
  return video.mapper_id;
}

std::pair<int, std::string> BackdropAPI::GetIDTypeFromMapperID(int mapper_id) const {
  velm::Caller caller;
  if (!CurrentCaller("GetIDTypeFromMapperID", &caller)) return {-1, ""};
  Connection* conn = Connection::Get();
  Video video;
  if (conn == nullptr || FindVisibleMapper(conn, caller, mapper_id, &video) != Lookup::kVisible) {
    return {-1, ""};
  }
  std::string name = NameFromType(video.type);
  if (name.empty()) return {-1, ""};
  return {video.video_id, name};
}

std::string BackdropAPI::DownloadImage(const std::string& url) const {
  return internal::DownloadToFolder(url, DownloadFolder(), internal::ReadDownloadSettings());
}

int BackdropAPI::Add(int mapper_id, const std::string& path, bool keep_one) const {
  velm::Caller caller;
  if (!CurrentCaller("Add", &caller)) return -1;
  Connection* conn = Connection::Get();
  if (conn == nullptr) return -1;
  Video video;
  if (FindVisibleMapper(conn, caller, mapper_id, &video) != Lookup::kVisible) {
    syslog(LOG_ERR, "%s:%d backdrop refused: no video with mapper id %d", "backdrop_api", __LINE__,
           mapper_id);
    return -1;
  }
  std::string bytes;
  if (!ReadAcceptedImage(path, &bytes)) return -1;

  internal::ImageStore store(conn->path());
  internal::StoredImage image;
  bool created = false;
  if (!store.Prepare(bytes, &image, &created)) return -1;
  long long id = -1;
  std::vector<std::string> dropped;
  {
    internal::Transaction txn(conn);
    bool ok = txn.ok();
    if (ok) {
      Statement insert = conn->Prepare(
          "INSERT INTO backdrop (mapper_id, image, file, md5, size, mtime) "
          "VALUES (?1, ?2, ?3, ?4, ?5, strftime('%s', 'now'))");
      insert.Bind(1, mapper_id);
      if (image.file.empty()) {
        insert.BindBlob(2, image.blob.data(), image.blob.size()).BindNull(3);
      } else {
        insert.BindNull(2).Bind(3, image.file);
      }
      insert.BindBlob(4, image.md5.data(), image.md5.size()).Bind(5, image.size);
      ok = insert.Run();
      if (ok) id = conn->LastInsertRowId();
    }
    if (ok && keep_one) {
      dropped = BackdropFiles(conn, mapper_id, id);
      Statement drop = conn->Prepare("DELETE FROM backdrop WHERE mapper_id = ?1 AND id != ?2");
      drop.Bind(1, mapper_id).Bind(2, id);
      ok = drop.Run();
    }
    if (!ok || !txn.Commit()) {
      if (created) store.RemoveIfUnreferenced(conn, image.file);
      return -1;
    }
  }
  for (const std::string& file : dropped) store.RemoveIfUnreferenced(conn, file);
  return static_cast<int>(id);
}

int BackdropAPI::DeleteAll(int mapper_id) const {
  // Nothing to delete for a video the caller cannot see, as for one that
  // does not exist: that is a success.
  velm::Caller caller;
  if (!CurrentCaller("DeleteAll", &caller)) return 1;
  Connection* conn = Connection::Get();
  if (conn == nullptr) return 0;
  std::vector<std::string> files;
  {
    internal::Transaction txn(conn);
    if (!txn.ok()) return 0;
    Video video;
    Lookup found = FindVisibleMapper(conn, caller, mapper_id, &video);
    if (found != Lookup::kVisible) return found == Lookup::kNotFound ? 1 : 0;
    files = BackdropFiles(conn, mapper_id, -1);
    Statement drop = conn->Prepare("DELETE FROM backdrop WHERE mapper_id = ?1");
    drop.Bind(1, mapper_id);
    if (!drop.Run() || !txn.Commit()) return 0;
  }
  internal::ImageStore store(conn->path());
  for (const std::string& file : files) store.RemoveIfUnreferenced(conn, file);
  return 1;
}

std::string BackdropAPI::GetByMapperID(int mapper_id, std::string& digest) const {
  velm::Caller caller;
  if (!CurrentCaller("GetByMapperID", &caller)) return "";
  Connection* conn = Connection::Get();
  if (conn == nullptr) return "";
  internal::ReadSnapshot snapshot(conn);
  Video video;
  if (FindVisibleMapper(conn, caller, mapper_id, &video) != Lookup::kVisible) return "";
  Statement stmt = conn->Prepare(
      "SELECT image, file, md5 FROM backdrop WHERE mapper_id = ?1 ORDER BY id DESC LIMIT 1");
  stmt.Bind(1, mapper_id);
  if (!stmt.Step()) return "";
  std::string bytes;
  if (stmt.ColumnIsNull(1)) {
    bytes = stmt.ColumnBlob(0);
  } else {
    internal::ImageStore store(conn->path());
    if (!store.Read(stmt.ColumnText(1), &bytes)) return "";
  }
  if (!bytes.empty()) digest = stmt.ColumnBlob(2);
  return bytes;
}

}  // namespace api
}  // namespace db
}  // namespace LibKinoro
