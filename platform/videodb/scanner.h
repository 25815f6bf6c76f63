// The library scanner: walks each library's folders, lists the video files
// it finds as videos (titles and years from their names, container facts
// from libavformat) and keeps the database in step with the folders on
// later scans.
#ifndef KINORO_PLATFORM_VIDEODB_SCANNER_H_
#define KINORO_PLATFORM_VIDEODB_SCANNER_H_

#include <functional>
#include <string>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

struct ScanStats {
  long long libraries = 0;
  long long folders = 0;     // folders walked
  long long files_seen = 0;  // video files found
  long long added = 0;       // files new to the database
  long long changed = 0;     // files whose size or time changed
  long long moved = 0;       // files found under a new path
  long long removed = 0;     // files gone
  long long probed = 0;      // files opened with libavformat
  long long unreadable = 0;  // non-empty files libavformat could not read
  long long sidecars = 0;    // sidecars read and applied
  double seconds = 0;
  // Folders that were missing or could not be read, as "library N: PATH":
  // nothing under them was removed.
  std::vector<std::string> unavailable;
};

struct ScanOptions {
  long long library_id = 0;  // 0: every library
  size_t batch = 200;        // files written per transaction
  int max_year = 0;          // latest year a name can carry; 0: next year
  // Called now and then during the scan (at most every 250 ms).
  std::function<void(const ScanStats&)> progress;
};

enum class ScanResult { kDone, kBusy, kFailed };

// Scans under a lock file beside the database (flock), so that a second
// scan at the same time is refused (kBusy) instead of adding each file
// twice. kFailed with `error` set for an unknown library or a database
// failure; what earlier batches wrote stays, and the next scan goes on from
// there.
ScanResult ScanLibraries(Connection* conn, const ScanOptions& options, ScanStats* stats,
                         std::string* error);

// The lock file of the database at `db_path`.
std::string ScanLockPath(const std::string& db_path);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_SCANNER_H_
