#include "platform/videodb/scanner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "libkinoro/records.h"
#include "platform/videodb/db_util.h"
#include "platform/videodb/library_admin.h"
#include "platform/videodb/media_probe.h"
#include "platform/videodb/safe_open.h"
#include "platform/videodb/sidecar_reader.h"
#include "platform/videodb/sqlite_db.h"
#include "platform/videodb/video_name.h"
#include "velm/services.h"

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

using Clock = std::chrono::steady_clock;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A library folder as found on disk.
struct Folder {
  std::string share_path;
  std::string real;  // absolute path of the folder; empty when the share is unknown
  Fd fd;
};

// A video file found by the walk.
struct Found {
  size_t folder;     // index into the library's folders
  std::string rel;   // below the folder
  std::string path;  // absolute
  long long size;
  long long mtime;
  // Its sidecar ("<name>.krmeta"): size, -1 for none, and time.
  long long sidecar_size = -1;
  long long sidecar_mtime = 0;
};

// A file the database lists for the library.
struct Stored {
  long long file_id;
  long long mapper_id;
  std::string path;
  long long size;
  long long mtime;
  long long sidecar_size;
  long long sidecar_mtime;
  bool present = false;  // seen unchanged, changed, or moved to
};

struct Probed {
  const Found* found;
  MediaFacts facts;
  bool has_sidecar = false;  // read and usable
  Sidecar sidecar;
};

constexpr char kSidecarSuffix[] = ".krmeta";

bool SameSidecar(const Stored& stored, const Found& found) {
  return stored.sidecar_size == found.sidecar_size &&
         (found.sidecar_size < 0 || stored.sidecar_mtime == found.sidecar_mtime);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return !dir.empty() && path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

class LibraryScan {
 public:
  LibraryScan(Connection* conn, const ScanOptions& options, ScanStats* stats, long long id,
              LibraryKind kind, const std::vector<std::string>& paths)
      : conn_(conn), options_(options), stats_(stats), id_(id), kind_(kind) {
    for (const std::string& path : paths) folders_.push_back({path, std::string(), Fd()});
  }

  bool Run(std::string* error);

 private:
  bool LoadStored();
  bool LoadShows();
  void OpenFolders();
  void Walk(int dir_fd, size_t folder, const std::string& rel_dir);
  void Tick();
  bool Probe(const Found& found, MediaFacts* facts);
  void LoadSidecar(const Found& found, Probed* probed);
  bool ApplyLoaded(long long mapper_id, Probed* probed, std::vector<std::string>* dropped);
  bool WriteSidecars(const std::vector<std::pair<Stored*, const Found*>>& renewed);
  bool WriteMoves(const std::vector<std::pair<Stored*, const Found*>>& moves);
  bool WriteChanged(const std::vector<std::pair<Stored*, const Found*>>& changed);
  bool WriteNew(const std::vector<const Found*>& added);
  bool WriteRemovals(const std::vector<const Stored*>& gone);
  bool InsertVideo(const char* table, int type, const std::string& title, const std::string& date,
                   const std::string& from_name, long long* video_id, long long* mapper_id,
                   long long show_id = 0, int season = 0, int episode_number = 0);
  bool InsertFile(long long mapper_id, const Found& found, const MediaFacts& facts);
  bool AddToDatabase(Probed* probed, std::vector<std::string>* dropped);
  std::string MovieGroup(const std::string& rel) const;
  bool Fail(const char* what);

  Connection* conn_;
  const ScanOptions& options_;
  ScanStats* stats_;
  long long id_;
  LibraryKind kind_;
  std::vector<Folder> folders_;
  std::vector<Found> found_;
  std::set<std::string> found_paths_;
  std::vector<Stored> stored_;
  // Folders (absolute) under which nothing is removed: missing, unreadable.
  std::vector<std::string> protected_dirs_;
  bool protect_all_ = false;
  // Videos that new parts of a film join, by MovieGroup key.
  std::unordered_map<std::string, long long> groups_;
  // Shows by lower-case title: (show id, mapper id).
  std::unordered_map<std::string, std::pair<long long, long long>> shows_;
  std::string error_;
  ImageStore images_{conn_->path()};
  Clock::time_point last_tick_ = Clock::now();
  long long now_ = NowSeconds();
};

bool LibraryScan::Fail(const char* what) {
  error_ = std::string(what) + ": " + sqlite3_errmsg(conn_->handle());
  return false;
}

void LibraryScan::Tick() {
  if (!options_.progress) return;
  const Clock::time_point now = Clock::now();
  if (now - last_tick_ < std::chrono::milliseconds(250)) return;
  last_tick_ = now;
  options_.progress(*stats_);
}

bool LibraryScan::LoadStored() {
  Statement stmt = conn_->Prepare(
      "SELECT f.id, f.mapper_id, f.path, f.size, f.mtime, f.sidecar_size, f.sidecar_mtime "
      "FROM video_file f JOIN mapper m ON m.id = f.mapper_id WHERE m.library_id = ?1");
  stmt.Bind(1, id_);
  while (stmt.Step()) {
    stored_.push_back({stmt.ColumnInt64(0), stmt.ColumnInt64(1), stmt.ColumnText(2),
                       stmt.ColumnInt64(3), stmt.ColumnInt64(4), stmt.ColumnInt64(5),
                       stmt.ColumnInt64(6)});
  }
  return !stmt.failed() || Fail("reading the library's files");
}

bool LibraryScan::LoadShows() {
  Statement stmt = conn_->Prepare("SELECT id, mapper_id, title FROM tvshow WHERE library_id = ?1");
  stmt.Bind(1, id_);
  while (stmt.Step()) {
    shows_.emplace(Lower(stmt.ColumnText(2)),
                   std::make_pair(stmt.ColumnInt64(0), stmt.ColumnInt64(1)));
  }
  return !stmt.failed() || Fail("reading the library's shows");
}

// Share path to folder: the share's root from the share service, then the
// rest below it without following any link, as the backdrop files are
// opened, so that a link planted in a share cannot take the scan outside.
void LibraryScan::OpenFolders() {
  for (Folder& folder : folders_) {
    const size_t slash = folder.share_path.find('/', 1);
    const std::string share =
        folder.share_path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest =
        slash == std::string::npos ? std::string() : folder.share_path.substr(slash + 1);
    PVELMSHARE record = nullptr;
    if (VELMShareGet(share.c_str(), &record) == 0 && record != nullptr && record->szPath) {
      std::string root = record->szPath;
      while (root.size() > 1 && root.back() == '/') root.pop_back();
      folder.real = rest.empty() ? root : (root == "/" ? "" : root) + "/" + rest;
      Fd root_fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (root_fd.get() >= 0) {
        folder.fd = rest.empty() ? std::move(root_fd) : Fd(OpenBeneath(root_fd.get(), rest));
      }
    }
    if (record != nullptr) VELMShareFree(record);
    struct stat st;
    bool usable = folder.fd.get() >= 0 && fstat(folder.fd.get(), &st) == 0 && S_ISDIR(st.st_mode);
    // An empty folder that held videos is most likely a disk that is not
    // mounted: its files are kept until the folder shows something again.
    if (usable) {
      DIR* dir = fdopendir(dup(folder.fd.get()));
      bool empty = true;
      if (dir == nullptr) {
        usable = false;
      } else {
        for (struct dirent* entry; (entry = readdir(dir)) != nullptr;) {
          if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
          }
        }
        closedir(dir);
        if (empty) {
          for (const Stored& s : stored_) {
            if (IsUnder(s.path, folder.real)) usable = false;
          }
        }
      }
    }
    if (usable) continue;
    folder.fd = Fd();
    stats_->unavailable.push_back("library " + std::to_string(id_) + ": " + folder.share_path);
    if (folder.real.empty()) {
      protect_all_ = true;  // no telling which stored files lie under it
    } else {
      protected_dirs_.push_back(folder.real);
    }
  }
}

void LibraryScan::Walk(int dir_fd, size_t folder, const std::string& rel_dir) {
  ++stats_->folders;
  DIR* dir = fdopendir(dup(dir_fd));
  const std::string real_dir =
      rel_dir.empty() ? folders_[folder].real : folders_[folder].real + "/" + rel_dir;
  if (dir == nullptr) {
    protected_dirs_.push_back(real_dir);
    return;
  }
  rewinddir(dir);  // the descriptor's offset is shared with the one it was duplicated from
  std::vector<std::string> subdirs;
  std::set<std::string> sidecars;
  const size_t first_found = found_.size();
  errno = 0;
  for (struct dirent* entry; (entry = readdir(dir)) != nullptr; errno = 0) {
    const std::string name = entry->d_name;
    // Hidden entries are the system's or a client's (".AppleDouble",
    // "._x.mkv"), never a person's films.
    if (name.empty() || name[0] == '.') continue;
    if (name.size() > sizeof(kSidecarSuffix) - 1 &&
        name.compare(name.size() - (sizeof(kSidecarSuffix) - 1), std::string::npos,
                     kSidecarSuffix) == 0) {
      sidecars.insert(name);
      continue;
    }
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string rel = rel_dir.empty() ? name : rel_dir + "/" + name;
    if (S_ISDIR(st.st_mode)) {
      subdirs.push_back(name);
    } else if (S_ISREG(st.st_mode) && IsVideoFileName(name)) {
      std::string path = real_dir + "/" + name;
      if (!found_paths_.insert(path).second) continue;  // nested library folders
      found_.push_back({folder, rel, std::move(path), static_cast<long long>(st.st_size),
                        static_cast<long long>(st.st_mtime)});
      ++stats_->files_seen;
      Tick();
    }
  }
  if (errno != 0) protected_dirs_.push_back(real_dir);
  closedir(dir);
  // Only a folder that has sidecars costs a stat more per video.
  for (size_t i = first_found; i < found_.size() && !sidecars.empty(); ++i) {
    const std::string name = BaseName(found_[i].rel) + kSidecarSuffix;
    struct stat st;
    if (sidecars.count(name) != 0 && fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      found_[i].sidecar_size = static_cast<long long>(st.st_size);
      found_[i].sidecar_mtime = static_cast<long long>(st.st_mtime);
    }
  }
  for (const std::string& name : subdirs) {
    const std::string rel = rel_dir.empty() ? name : rel_dir + "/" + name;
    Fd sub(openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) {
      protected_dirs_.push_back(real_dir + "/" + name);
      continue;
    }
    Walk(sub.get(), folder, rel);
  }
}

bool LibraryScan::Probe(const Found& found, MediaFacts* facts) {
  *facts = MediaFacts();
  if (found.size == 0) return true;  // a placeholder: nothing to read, nothing to say
  Fd fd(OpenBeneath(folders_[found.folder].fd.get(), found.rel));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  ++stats_->probed;
  std::string error;
  if (!ProbeMediaApart(fd.get(), facts, &error)) {
    ++stats_->unreadable;
    syslog(LOG_ERR, "%s:%d cannot read the video %s: %s", "scanner", __LINE__, found.path.c_str(),
           error.c_str());
    *facts = MediaFacts();
  }
  return true;
}

// Reads the file's sidecar, when it has one, before the transaction that
// applies it. One that cannot be used is logged once and its size and time
// are stored all the same, so that it is read again only when it changes.
void LibraryScan::LoadSidecar(const Found& found, Probed* probed) {
  probed->has_sidecar = false;
  if (found.sidecar_size < 0) return;
  std::string error, warning;
  const std::string rel = found.rel + kSidecarSuffix;
  if (!ReadSidecar(folders_[found.folder].fd.get(), rel, &images_, &probed->sidecar, &error,
                   &warning)) {
    syslog(LOG_ERR, "%s:%d cannot use the sidecar %s%s: %s", "scanner", __LINE__,
           found.path.c_str(), kSidecarSuffix, error.c_str());
    return;
  }
  if (!warning.empty()) {
    syslog(LOG_ERR, "%s:%d sidecar %s%s: %s", "scanner", __LINE__, found.path.c_str(),
           kSidecarSuffix, warning.c_str());
  }
  ++stats_->sidecars;
  probed->has_sidecar = true;
}

bool LibraryScan::ApplyLoaded(long long mapper_id, Probed* probed,
                              std::vector<std::string>* dropped) {
  if (!probed->has_sidecar) return true;
  return ApplySidecar(conn_, mapper_id, probed->sidecar, dropped) || Fail("applying a sidecar");
}

// Where a part of a film finds its other parts: same folder, title and year.
std::string LibraryScan::MovieGroup(const std::string& rel) const {
  const VideoName name = ParseVideoName(kind_, rel, options_.max_year);
  return DirName(rel) + "\n" + Lower(name.title) + "\n" + std::to_string(name.year);
}

bool LibraryScan::InsertVideo(const char* table, int type, const std::string& title,
                              const std::string& date, const std::string& from_name,
                              long long* video_id, long long* mapper_id, long long show_id,
                              int season, int episode_number) {
  // An episode names its show, season and episode (?5 to ?7).
  const bool episode = type == VIDEO_TYPE_TVSHOW_EPISODE;
  const std::string sql = std::string("INSERT INTO ") + table +
                          " (mapper_id, library_id, title, sort_title, original_available, "
                          "create_time" +
                          (episode ? ", tvshow_id, season, episode) VALUES (0, ?1, ?2, ?2, ?3, "
                                     "?4, ?5, ?6, ?7)"
                                   : ") VALUES (0, ?1, ?2, ?2, ?3, ?4)");
  Statement video = conn_->Prepare(sql.c_str());
  video.Bind(1, id_).Bind(2, title).Bind(3, date).Bind(4, now_);
  if (episode) video.Bind(5, show_id).Bind(6, season).Bind(7, episode_number);
  if (!video.Run()) return Fail(table);
  *video_id = conn_->LastInsertRowId();
  Statement mapper = conn_->Prepare(
      "INSERT INTO mapper (type, video_id, library_id, create_time, from_name) "
      "VALUES (?1, ?2, ?3, ?4, ?5)");
  mapper.Bind(1, type).Bind(2, *video_id).Bind(3, id_).Bind(4, now_).Bind(5, from_name);
  if (!mapper.Run()) return Fail("mapper");
  *mapper_id = conn_->LastInsertRowId();
  const std::string link = std::string("UPDATE ") + table + " SET mapper_id = ?1 WHERE id = ?2";
  Statement update = conn_->Prepare(link.c_str());
  update.Bind(1, *mapper_id).Bind(2, *video_id);
  return update.Run() || Fail(table);
}

bool LibraryScan::InsertFile(long long mapper_id, const Found& found, const MediaFacts& facts) {
  Statement stmt = conn_->Prepare(
      "INSERT INTO video_file (mapper_id, path, size, duration, width, height, video_codec, "
      "audio_codec, bit_rate, mtime, sidecar_size, sidecar_mtime) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
  stmt.Bind(1, mapper_id).Bind(2, found.path).Bind(3, found.size).Bind(4, facts.duration);
  stmt.Bind(5, facts.width).Bind(6, facts.height).Bind(7, facts.video_codec);
  stmt.Bind(8, facts.audio_codec).Bind(9, facts.bit_rate).Bind(10, found.mtime);
  stmt.Bind(11, found.sidecar_size).Bind(12, found.sidecar_mtime);
  return stmt.Run() || Fail("video_file");
}

bool LibraryScan::AddToDatabase(Probed* probed, std::vector<std::string>* dropped) {
  const Found& found = *probed->found;
  const VideoName name = ParseVideoName(kind_, found.rel, options_.max_year);
  long long video_id = 0, mapper_id = 0;
  if (kind_ == LibraryKind::kMovie) {
    const std::string group = name.part > 0 ? MovieGroup(found.rel) : std::string();
    auto it = name.part > 0 ? groups_.find(group) : groups_.end();
    if (it != groups_.end()) {
      mapper_id = it->second;
    } else {
      const std::string year = name.year > 0 ? std::to_string(name.year) : std::string();
      if (!InsertVideo("movie", VIDEO_TYPE_MOVIE, name.title, year,
                       year.empty() ? "title,sort_title" : "title,sort_title,original_available",
                       &video_id, &mapper_id)) {
        return false;
      }
      if (name.part > 0) groups_[group] = mapper_id;
    }
  } else if (kind_ == LibraryKind::kVideo) {
    if (!InsertVideo("home_video", VIDEO_TYPE_HOME_VIDEO, name.title, "", "title,sort_title",
                     &video_id, &mapper_id)) {
      return false;
    }
  } else {
    const std::string key = Lower(name.show);
    auto show = shows_.find(key);
    if (show == shows_.end()) {
      long long show_id = 0, show_mapper = 0;
      const std::string year = name.show_year > 0 ? std::to_string(name.show_year) : "";
      if (!InsertVideo("tvshow", VIDEO_TYPE_TVSHOW, name.show, year,
                       year.empty() ? "title,sort_title" : "title,sort_title,original_available",
                       &show_id, &show_mapper)) {
        return false;
      }
      show = shows_.emplace(key, std::make_pair(show_id, show_mapper)).first;
    }
    if (!InsertVideo("tvshow_episode", VIDEO_TYPE_TVSHOW_EPISODE, name.title, "",
                     name.season >= 0 ? "title,sort_title,season,episode" : "title,sort_title",
                     &video_id, &mapper_id, show->second.first, std::max(name.season, 0),
                     std::max(name.episode, 0))) {
      return false;
    }
  }
  return InsertFile(mapper_id, found, probed->facts) && ApplyLoaded(mapper_id, probed, dropped);
}

bool LibraryScan::WriteMoves(const std::vector<std::pair<Stored*, const Found*>>& moves) {
  for (size_t start = 0; start < moves.size(); start += options_.batch) {
    Transaction txn(conn_);
    if (!txn.ok()) return Fail("starting a transaction");
    for (size_t i = start; i < std::min(moves.size(), start + options_.batch); ++i) {
      Statement stmt = conn_->Prepare("UPDATE video_file SET path = ?2 WHERE id = ?1");
      stmt.Bind(1, moves[i].first->file_id).Bind(2, moves[i].second->path);
      if (!stmt.Run()) return Fail("moving a file");
    }
    if (!txn.Commit()) return Fail("commit");
    stats_->moved += static_cast<long long>(std::min(moves.size(), start + options_.batch) - start);
    Tick();
  }
  return true;
}

bool LibraryScan::WriteChanged(const std::vector<std::pair<Stored*, const Found*>>& changed) {
  for (size_t start = 0; start < changed.size(); start += options_.batch) {
    const size_t end = std::min(changed.size(), start + options_.batch);
    // Files are read before the transaction: a slow disk must not hold the
    // database's write lock.
    std::vector<Probed> probed(end - start);
    std::vector<bool> readable(end - start);
    std::vector<std::string> dropped;
    for (size_t i = start; i < end; ++i) {
      Probed& p = probed[i - start];
      p.found = changed[i].second;
      readable[i - start] = Probe(*p.found, &p.facts);
      if (!SameSidecar(*changed[i].first, *p.found)) LoadSidecar(*p.found, &p);
    }
    Transaction txn(conn_);
    if (!txn.ok()) return Fail("starting a transaction");
    for (size_t i = start; i < end; ++i) {
      if (!readable[i - start]) continue;  // gone again since the walk: next scan
      Probed& p = probed[i - start];
      const MediaFacts& f = p.facts;
      const Found& found = *p.found;
      Statement stmt = conn_->Prepare(
          "UPDATE video_file SET size = ?2, mtime = ?3, duration = ?4, width = ?5, height = ?6, "
          "video_codec = ?7, audio_codec = ?8, bit_rate = ?9, sidecar_size = ?10, "
          "sidecar_mtime = ?11 WHERE id = ?1");
      stmt.Bind(1, changed[i].first->file_id).Bind(2, found.size).Bind(3, found.mtime);
      stmt.Bind(4, f.duration).Bind(5, f.width).Bind(6, f.height).Bind(7, f.video_codec);
      stmt.Bind(8, f.audio_codec).Bind(9, f.bit_rate).Bind(10, found.sidecar_size);
      stmt.Bind(11, found.sidecar_mtime);
      if (!stmt.Run()) return Fail("updating a file");
      if (!ApplyLoaded(changed[i].first->mapper_id, &p, &dropped)) return false;
      ++stats_->changed;
    }
    if (!txn.Commit()) return Fail("commit");
    RemoveImageFiles(conn_, dropped);
    Tick();
  }
  return true;
}

bool LibraryScan::WriteNew(const std::vector<const Found*>& added) {
  for (size_t start = 0; start < added.size(); start += options_.batch) {
    const size_t end = std::min(added.size(), start + options_.batch);
    std::vector<Probed> batch;
    std::vector<std::string> dropped;
    for (size_t i = start; i < end; ++i) {
      Probed probed;
      probed.found = added[i];
      if (!Probe(*added[i], &probed.facts)) continue;
      LoadSidecar(*added[i], &probed);
      batch.push_back(std::move(probed));
    }
    Transaction txn(conn_);
    if (!txn.ok()) return Fail("starting a transaction");
    // A video row names its mapper and the mapper its video: checked at
    // commit.
    if (!conn_->Exec("PRAGMA defer_foreign_keys = ON")) return Fail("defer_foreign_keys");
    for (Probed& probed : batch) {
      if (!AddToDatabase(&probed, &dropped)) return false;  // the scan ends here
    }
    if (!txn.Commit()) return Fail("commit");
    RemoveImageFiles(conn_, dropped);
    stats_->added += static_cast<long long>(batch.size());
    Tick();
  }
  return true;
}

bool LibraryScan::WriteRemovals(const std::vector<const Stored*>& gone) {
  for (size_t start = 0; start < gone.size(); start += options_.batch) {
    const size_t end = std::min(gone.size(), start + options_.batch);
    std::vector<std::string> image_files;
    Transaction txn(conn_);
    if (!txn.ok()) return Fail("starting a transaction");
    std::vector<long long> emptied;
    for (size_t i = start; i < end; ++i) {
      // The file's conversion tasks go with it; the video goes when this
      // was its last file.
      Statement tasks = conn_->Prepare("DELETE FROM conversion_task WHERE file_id = ?1");
      tasks.Bind(1, gone[i]->file_id);
      Statement file = conn_->Prepare("DELETE FROM video_file WHERE id = ?1");
      file.Bind(1, gone[i]->file_id);
      if (!tasks.Run() || !file.Run()) return Fail("removing a file");
      Statement left = conn_->Prepare("SELECT 1 FROM video_file WHERE mapper_id = ?1 LIMIT 1");
      left.Bind(1, gone[i]->mapper_id);
      if (!left.Step()) {
        if (left.failed()) return Fail("removing a file");
        emptied.push_back(gone[i]->mapper_id);
      }
    }
    // A show goes with its last episode.
    std::set<long long> shows;
    for (long long mapper_id : emptied) {
      Statement show = conn_->Prepare(
          "SELECT s.mapper_id FROM tvshow_episode e JOIN tvshow s ON s.id = e.tvshow_id "
          "WHERE e.mapper_id = ?1");
      show.Bind(1, mapper_id);
      if (show.Step()) shows.insert(show.ColumnInt64(0));
    }
    if (!DeleteVideos(conn_, emptied, &image_files)) return Fail("removing a video");
    std::vector<long long> empty_shows;
    for (long long mapper_id : shows) {
      Statement left = conn_->Prepare(
          "SELECT 1 FROM tvshow_episode e JOIN tvshow s ON s.id = e.tvshow_id "
          "WHERE s.mapper_id = ?1 LIMIT 1");
      left.Bind(1, mapper_id);
      if (!left.Step()) {
        if (left.failed()) return Fail("removing a show");
        empty_shows.push_back(mapper_id);
      }
    }
    if (!DeleteVideos(conn_, empty_shows, &image_files)) return Fail("removing a show");
    if (!txn.Commit()) return Fail("commit");
    RemoveImageFiles(conn_, image_files);
    for (long long mapper_id : empty_shows) {
      for (auto it = shows_.begin(); it != shows_.end(); ++it) {
        if (it->second.second == mapper_id) {
          shows_.erase(it);
          break;
        }
      }
    }
    stats_->removed += static_cast<long long>(end - start);
    Tick();
  }
  return true;
}

// Files that stayed as they were (or only moved) whose sidecar appeared,
// changed or went away. A sidecar that went away leaves the metadata as it
// is: what it set was a person's, not the name's.
bool LibraryScan::WriteSidecars(const std::vector<std::pair<Stored*, const Found*>>& renewed) {
  for (size_t start = 0; start < renewed.size(); start += options_.batch) {
    const size_t end = std::min(renewed.size(), start + options_.batch);
    std::vector<Probed> probed(end - start);
    std::vector<std::string> dropped;
    for (size_t i = start; i < end; ++i) {
      probed[i - start].found = renewed[i].second;
      LoadSidecar(*renewed[i].second, &probed[i - start]);
    }
    Transaction txn(conn_);
    if (!txn.ok()) return Fail("starting a transaction");
    for (size_t i = start; i < end; ++i) {
      const Found& found = *renewed[i].second;
      Statement stmt = conn_->Prepare(
          "UPDATE video_file SET sidecar_size = ?2, sidecar_mtime = ?3 WHERE id = ?1");
      stmt.Bind(1, renewed[i].first->file_id).Bind(2, found.sidecar_size);
      stmt.Bind(3, found.sidecar_mtime);
      if (!stmt.Run()) return Fail("updating a file");
      if (!ApplyLoaded(renewed[i].first->mapper_id, &probed[i - start], &dropped)) return false;
    }
    if (!txn.Commit()) return Fail("commit");
    RemoveImageFiles(conn_, dropped);
    Tick();
  }
  return true;
}

bool LibraryScan::Run(std::string* error) {
  if (!LoadStored() || (kind_ == LibraryKind::kTvShow && !LoadShows())) {
    *error = error_;
    return false;
  }
  OpenFolders();
  for (size_t i = 0; i < folders_.size(); ++i) {
    if (folders_[i].fd.get() >= 0) Walk(folders_[i].fd.get(), i, "");
  }

  std::unordered_map<std::string, Stored*> by_path;
  for (Stored& s : stored_) by_path[s.path] = &s;
  std::vector<std::pair<Stored*, const Found*>> changed, moves, renewed;
  std::vector<const Found*> fresh;
  for (const Found& found : found_) {
    auto it = by_path.find(found.path);
    if (it == by_path.end()) {
      fresh.push_back(&found);
      continue;
    }
    it->second->present = true;
    if (it->second->size != found.size || it->second->mtime != found.mtime) {
      changed.emplace_back(it->second, &found);
    } else if (!SameSidecar(*it->second, found)) {
      renewed.emplace_back(it->second, &found);
    }
  }
  // Files gone from where they were; those below a folder that could not
  // be read may well still be there.
  std::multimap<std::string, Stored*> vanished;
  for (Stored& s : stored_) {
    if (s.present || protect_all_) continue;
    bool kept = false;
    for (const std::string& dir : protected_dirs_) kept = kept || IsUnder(s.path, dir);
    if (kept) continue;
    vanished.emplace(
        BaseName(s.path) + "\n" + std::to_string(s.size) + "\n" + std::to_string(s.mtime), &s);
  }
  // A new file with a vanished one's name, size and time is that file,
  // moved: it keeps its video and everything attached to it.
  std::vector<const Found*> added;
  for (const Found* found : fresh) {
    auto it = vanished.find(BaseName(found->path) + "\n" + std::to_string(found->size) + "\n" +
                            std::to_string(found->mtime));
    if (it == vanished.end()) {
      added.push_back(found);
      continue;
    }
    it->second->present = true;
    moves.emplace_back(it->second, found);
    if (!SameSidecar(*it->second, *found)) renewed.emplace_back(it->second, found);
    vanished.erase(it);
  }
  // The films that new parts may join: those of files still here.
  if (kind_ == LibraryKind::kMovie) {
    for (const auto& move : moves) groups_[MovieGroup(move.second->rel)] = move.first->mapper_id;
    for (const Stored& s : stored_) {
      if (!s.present) continue;
      for (const Folder& folder : folders_) {
        if (IsUnder(s.path, folder.real)) {
          groups_.emplace(MovieGroup(s.path.substr(folder.real.size() + 1)), s.mapper_id);
          break;
        }
      }
    }
  }
  std::vector<const Stored*> gone;
  for (const auto& entry : vanished) gone.push_back(entry.second);

  if (!WriteMoves(moves) || !WriteChanged(changed) || !WriteSidecars(renewed) || !WriteNew(added) ||
      !WriteRemovals(gone)) {
    *error = error_;
    return false;
  }
  return true;
}

LibraryKind KindOf(const std::string& type) {
  if (type == "tvshow") return LibraryKind::kTvShow;
  if (type == "home_video") return LibraryKind::kVideo;
  return LibraryKind::kMovie;
}

}  // namespace

std::string ScanLockPath(const std::string& db_path) { return db_path + ".scan.lock"; }

ScanResult ScanLibraries(Connection* conn, const ScanOptions& given, ScanStats* stats,
                         std::string* error) {
  const Clock::time_point start = Clock::now();
  *stats = ScanStats();
  ScanOptions options = given;
  if (options.batch == 0) options.batch = 1;
  if (options.max_year == 0) options.max_year = LatestNameYear();

  const std::string lock_path = ScanLockPath(conn->path());
  Fd lock(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0) {
    *error = "cannot open the lock file " + lock_path + ": " + strerror(errno);
    return ScanResult::kFailed;
  }
  if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    *error = "another scan of " + conn->path() + " is running (" + lock_path + " is locked)";
    return busy ? ScanResult::kBusy : ScanResult::kFailed;
  }

  std::vector<LibraryRecord> libraries;
  if (!ListLibraries(conn, &libraries)) {
    *error = std::string("cannot read the libraries: ") + sqlite3_errmsg(conn->handle());
    return ScanResult::kFailed;
  }
  bool known = options.library_id == 0;
  for (const LibraryRecord& library : libraries) {
    if (options.library_id != 0 && library.id != options.library_id) continue;
    known = true;
    if (library.paths.empty()) continue;
    ++stats->libraries;
    LibraryScan scan(conn, options, stats, library.id, KindOf(library.type), library.paths);
    if (!scan.Run(error)) {
      *error = "library " + std::to_string(library.id) + ": " + *error;
      return ScanResult::kFailed;
    }
  }
  if (!known) {
    *error = "no library " + std::to_string(options.library_id);
    return ScanResult::kFailed;
  }
  // The batches leave the log as large as all they wrote.
  conn->CheckpointTruncate();
  stats->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return ScanResult::kDone;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
