#include "metadatad/queue_work.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/services/index_queue.h"
#include "platform/services/log_value.h"

namespace kinoro {
namespace metadatad {
namespace {

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

bool ParseRecord(const std::string& line, Record* record) {
  if (line.compare(0, 2, "b:") != 0) return false;
  const size_t colon = line.find(':', 2);
  if (colon == std::string::npos || colon == 2) return false;
  for (size_t i = 2; i < colon; ++i) {
    if (!(line[i] >= 'a' && line[i] <= 'z') && line[i] != '_') return false;
  }
  size_t i = colon + 1;
  const bool negative = i < line.size() && line[i] == '-';
  if (negative) ++i;
  if (i == line.size() || line.size() - i > 18) return false;
  long long id = 0;
  for (; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    id = id * 10 + (line[i] - '0');
  }
  record->type = line.substr(2, colon - 2);
  record->id = negative ? -id : id;
  return true;
}

TakeResult TakeQueue(const std::string& queue, const std::string& work) {
  const int fd = velm_services::OpenLockedQueue(queue.c_str(), O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return TakeResult::kEmpty;
    syslog(LOG_ERR, "%s:%d cannot open the queue %s: %s", "queue_work", __LINE__, queue.c_str(),
           strerror(errno));
    return TakeResult::kFailed;
  }
  struct stat st;
  TakeResult result = TakeResult::kEmpty;
  if (fstat(fd, &st) != 0 || st.st_size > 0) {
    // Renamed while locked: a writer waiting for the lock finds afterwards
    // that its descriptor is no longer the queue and opens a new one.
    if (rename(queue.c_str(), work.c_str()) == 0) {
      result = TakeResult::kTaken;
    } else {
      syslog(LOG_ERR, "%s:%d cannot move the queue to %s: %s", "queue_work", __LINE__, work.c_str(),
             strerror(errno));
      result = TakeResult::kFailed;
    }
  }
  close(fd);
  if (result == TakeResult::kTaken) {
    const int dir = open(Folder(work).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return result;
}

std::vector<Record> ReadWork(const std::string& work) {
  std::vector<Record> records;
  std::set<std::pair<std::string, long long>> seen;
  std::ifstream in(work);
  for (std::string line; std::getline(in, line);) {
    Record record;
    if (!ParseRecord(line, &record)) {
      syslog(LOG_ERR, "%s:%d dropped a malformed record: %s", "queue_work", __LINE__,
             velm::LogValue(line).c_str());
      continue;
    }
    if (seen.emplace(record.type, record.id).second) records.push_back(std::move(record));
  }
  return records;
}

}  // namespace metadatad
}  // namespace kinoro
