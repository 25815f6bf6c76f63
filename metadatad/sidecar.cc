#include "metadatad/sidecar.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/services/file_util.h"
#include "platform/services/log_value.h"
#include "platform/services/scoped_fd.h"
#include "platform/videodb/safe_open.h"
#include "velm/services.h"

namespace kinoro {
namespace metadatad {
namespace {

using LibKinoro::db::internal::VideoExport;
using velm_services::ScopedFd;
using velm_services::WriteAll;

constexpr char kSource[] = "sidecar";

// The root of the share that holds `path` (the longest one), "" for none.
std::string ShareRootOf(const std::string& path) {
  PVELMSHARE* shares = nullptr;
  int count = 0;
  if (VELMShareList(&shares, &count) != 0) return "";
  std::string best;
  for (int i = 0; i < count; ++i) {
    std::string root = shares[i]->szPath != nullptr ? shares[i]->szPath : "";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root.empty() || root.size() <= best.size() || path.size() <= root.size() ||
        path.compare(0, root.size(), root) != 0 || (path[root.size()] != '/' && root != "/")) {
      continue;
    }
    best = root;
  }
  VELMShareFreeList(shares, count);
  return best;
}

// Runs as the owner of a share's root for its lifetime, when the daemon
// runs as root: a folder below a share is the share owner's to write in,
// and root would write where that owner may not (or through what the owner
// planted there).
class RunAs {
 public:
  RunAs(uid_t uid, gid_t gid) {
    if (geteuid() != 0 || uid == 0) return;
    groups_.resize(64);
    const int n = getgroups(static_cast<int>(groups_.size()), groups_.data());
    groups_.resize(n > 0 ? n : 0);
    if (setgroups(1, &gid) != 0 || setegid(gid) != 0 || seteuid(uid) != 0) {
      ok_ = false;
      Restore();
      return;
    }
    switched_ = true;
  }
  ~RunAs() {
    if (switched_) Restore();
  }
  RunAs(const RunAs&) = delete;
  RunAs& operator=(const RunAs&) = delete;
  bool ok() const { return ok_; }

 private:
  void Restore() {
    // Going on with the share owner's ids would write the next share as
    // this one's owner: a failure here ends the daemon.
    if (seteuid(0) != 0 || setegid(0) != 0 || setgroups(groups_.size(), groups_.data()) != 0) {
      syslog(LOG_CRIT, "%s:%d cannot return to root: %s", kSource, __LINE__, strerror(errno));
      abort();
    }
  }
  std::vector<gid_t> groups_;
  bool ok_ = true;
  bool switched_ = false;
};

bool SameContent(int dir, const std::string& name, const std::string& bytes) {
  ScopedFd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size != static_cast<off_t>(bytes.size())) {
    return false;
  }
  std::string have(bytes.size(), '\0');
  size_t done = 0;
  while (done < have.size()) {
    const ssize_t n = read(fd.get(), &have[done], have.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return have == bytes;
}

// Writes `name` in `dir` under a temporary name, synced, then renamed over
// it: a reader sees the old file or the new one, and a link planted under
// the name is replaced, never followed. Unchanged files are left alone.
bool WriteAtomically(int dir, const std::string& name, const std::string& bytes,
                     WriteCounts* counts) {
  if (SameContent(dir, name, bytes)) {
    ++counts->unchanged;
    return true;
  }
  unsigned int nonce = 0;
  if (getrandom(&nonce, sizeof(nonce), 0) != sizeof(nonce)) nonce = getpid();
  char suffix[16];
  snprintf(suffix, sizeof(suffix), ".%08x", nonce);
  const std::string temp = "." + name + suffix;
  ScopedFd fd(
      openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  const bool ok = fd.get() >= 0 && WriteAll(fd.get(), bytes) && fsync(fd.get()) == 0 &&
                  renameat(dir, temp.c_str(), dir, name.c_str()) == 0;
  if (!ok) {
    syslog(LOG_ERR, "%s:%d cannot write %s: %s", kSource, __LINE__, velm::LogValue(name).c_str(),
           strerror(errno));
    if (fd.get() >= 0) unlinkat(dir, temp.c_str(), 0);
    return false;
  }
  ++counts->written;
  return true;
}

// Where a video's sidecars go: the folder, and the name they are formed
// from (the video file's name; "tvshow" in a show's folder).
struct Target {
  std::string folder;  // volume path
  std::string name;
  std::string video;  // the file that must exist, "" for a show's folder
};

bool IsSeasonFolder(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "specials" || lower.compare(0, 6, "season") == 0;
}

std::vector<Target> TargetsOf(const VideoExport& video) {
  std::vector<Target> targets;
  std::set<std::string> folders;
  for (const std::string& path : video.files) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) continue;
    std::string folder = path.substr(0, slash);
    if (video.type != "tvshow") {
      targets.push_back({folder, path.substr(slash + 1), path.substr(slash + 1)});
      continue;
    }
    // A show's sidecar sits in its own folder, above its season folders.
    const size_t up = folder.rfind('/');
    if (up != std::string::npos && up > 0 && IsSeasonFolder(folder.substr(up + 1))) {
      folder.resize(up);
    }
    if (folders.insert(folder).second) targets.push_back({folder, "tvshow", ""});
  }
  return targets;
}

std::string Serialize(const Json::Value& document) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  builder["precision"] = 15;  // 7.9, not 7.9000000000000004
  return Json::writeString(builder, document) + "\n";
}

bool WriteTarget(const VideoExport& video, const Target& target, WriteCounts* counts) {
  const std::string root = ShareRootOf(target.folder + "/");
  if (root.empty()) {
    ++counts->gone;
    syslog(LOG_WARNING, "%s:%d skipped %s: not inside a share", kSource, __LINE__,
           velm::LogValue(target.folder).c_str());
    return true;
  }
  ScopedFd root_fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat root_st, st;
  if (root_fd.get() < 0 || fstat(root_fd.get(), &root_st) != 0) {
    ++counts->gone;
    syslog(LOG_WARNING, "%s:%d skipped %s: share root %s: %s", kSource, __LINE__,
           velm::LogValue(target.folder).c_str(), root.c_str(), strerror(errno));
    return true;
  }
  RunAs owner(root_st.st_uid, root_st.st_gid);
  if (!owner.ok()) {
    syslog(LOG_ERR, "%s:%d cannot act as the owner %u of %s: %s", kSource, __LINE__,
           static_cast<unsigned>(root_st.st_uid), root.c_str(), strerror(errno));
    return false;
  }
  const std::string relative =
      target.folder.size() > root.size() ? target.folder.substr(root.size() + 1) : std::string();
  ScopedFd dir(relative.empty() ? dup(root_fd.get())
                                : LibKinoro::db::internal::OpenBeneath(root_fd.get(), relative));
  const bool there = dir.get() >= 0 && fstat(dir.get(), &st) == 0 && S_ISDIR(st.st_mode) &&
                     (target.video.empty() ||
                      fstatat(dir.get(), target.video.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0);
  if (!there) {
    ++counts->gone;
    syslog(LOG_WARNING, "%s:%d skipped %s/%s: the video's file is gone", kSource, __LINE__,
           velm::LogValue(target.folder).c_str(), velm::LogValue(target.video).c_str());
    return true;
  }
  ++counts->files;
  bool ok = true;
  for (size_t i = 0; i < video.backdrops.size(); ++i) {
    const std::string name = target.name + ".backdrop-" + std::to_string(i + 1) + ".jpg";
    ok = WriteAtomically(dir.get(), name, video.backdrops[i], counts) && ok;
  }
  // Backdrops this daemon saved before that the video no longer has.
  for (size_t n = video.backdrops.size() + 1; n < 1000; ++n) {
    const std::string name = target.name + ".backdrop-" + std::to_string(n) + ".jpg";
    if (unlinkat(dir.get(), name.c_str(), 0) != 0) break;
  }
  ok = WriteAtomically(dir.get(), target.name + ".krmeta",
                       Serialize(SidecarDocument(video, target.name)), counts) &&
       ok;
  fsync(dir.get());
  return ok;
}

}  // namespace

Json::Value SidecarDocument(const VideoExport& video, const std::string& file_name) {
  Json::Value document = video.meta;
  document["format"] = "kinoro-sidecar";
  document["version"] = kSidecarVersion;
  document["type"] = video.type;
  for (size_t i = 0; i < video.backdrops.size(); ++i) {
    document["backdrops"].append(file_name + ".backdrop-" + std::to_string(i + 1) + ".jpg");
  }
  return document;
}

bool WriteSidecars(const VideoExport& video, WriteCounts* counts) {
  bool ok = true;
  for (const Target& target : TargetsOf(video)) ok = WriteTarget(video, target, counts) && ok;
  return ok;
}

}  // namespace metadatad
}  // namespace kinoro
