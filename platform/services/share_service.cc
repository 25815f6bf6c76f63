// Share service: shares come from a JSON file, read afresh on every call so
// that an edit takes effect without restarting anyone.
#include <json/json.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kinoro/root.h"
#include "platform/services/share_config.h"
#include "velm/services.h"

namespace {

std::mutex g_config_mutex;
std::string* g_config_path = nullptr;  // null: the root's default

std::string ConfigPath() {
  std::lock_guard<std::mutex> lock(g_config_mutex);
  return g_config_path ? *g_config_path : std::string(KINORO_PATH("/etc/velm/shares.conf"));
}

struct ShareEntry {
  std::string name;
  std::string path;
  std::string comment;
};

// Logs a complaint about the configuration once per process: the file is
// read on every lookup, and one line per lookup would drown the log.
void ComplainOnce(const std::string& path, const std::string& what) {
  static std::mutex* mutex = new std::mutex();
  static std::set<std::string>* said = new std::set<std::string>();
  std::lock_guard<std::mutex> lock(*mutex);
  if (!said->insert(path + "\n" + what).second) return;
  syslog(LOG_ERR, "%s:%d %s: %s", "share_service", __LINE__, path.c_str(), what.c_str());
}

// Why a share's entry cannot be used, or "" when it can. A share's root
// must be an absolute path: a relative one would be taken from whatever
// folder the reading process runs in, and an empty one from no folder.
std::string EntryProblem(const ShareEntry& entry) {
  if (entry.name.find('\0') != std::string::npos || entry.path.find('\0') != std::string::npos) {
    return "its name or path holds a NUL";
  }
  if (entry.path.empty()) return "its path is empty";
  if (entry.path[0] != '/') return "its path \"" + entry.path + "\" is not an absolute path";
  return "";
}

// The configured shares in file order. Entries without a string name and
// path are skipped, and so are those EntryProblem refuses (logged), rather
// than failing the whole file: one bad entry must not take every other
// share away.
bool LoadShares(std::vector<ShareEntry>* shares) {
  std::ifstream in(ConfigPath());
  if (!in.is_open()) return false;
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string errors;
  try {
    if (!Json::parseFromStream(builder, in, &root, &errors)) return false;
  } catch (const std::exception&) {
    return false;  // nesting beyond the parser's limit
  }
  if (!root.isObject()) return false;
  const Json::Value& list = root["shares"];
  if (!list.isArray()) return false;
  for (const Json::Value& item : list) {
    if (!item.isObject() || !item["name"].isString() || !item["path"].isString()) continue;
    ShareEntry entry;
    entry.name = item["name"].asString();
    entry.path = item["path"].asString();
    if (item["comment"].isString()) entry.comment = item["comment"].asString();
    if (entry.name.empty()) continue;
    std::string problem = EntryProblem(entry);
    if (!problem.empty()) {
      ComplainOnce(ConfigPath(), "share \"" + entry.name.substr(0, entry.name.find('\0')) +
                                     "\" ignored: " + problem);
      continue;
    }
    shares->push_back(std::move(entry));
  }
  return true;
}

// Records are plain C allocations so that a C caller could free them with
// the same functions.
PVELMSHARE NewRecord(const ShareEntry& entry) {
  PVELMSHARE share = static_cast<PVELMSHARE>(calloc(1, sizeof(VELMSHARE)));
  if (share == nullptr) return nullptr;
  share->szName = strdup(entry.name.c_str());
  share->szPath = strdup(entry.path.c_str());
  share->szComment = strdup(entry.comment.c_str());
  if (share->szName == nullptr || share->szPath == nullptr || share->szComment == nullptr) {
    VELMShareFree(share);
    return nullptr;
  }
  return share;
}

}  // namespace

void VELMShareSetConfigPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_config_mutex);
  delete g_config_path;
  g_config_path = path.empty() ? nullptr : new std::string(path);
}

extern "C" {

int VELMShareGet(const char* szName, PVELMSHARE* ppShare) {
  if (szName == nullptr || ppShare == nullptr || szName[0] == '\0') return -1;
  std::vector<ShareEntry> shares;
  if (!LoadShares(&shares)) return -1;
  for (const ShareEntry& entry : shares) {
    if (entry.name != szName) continue;
    PVELMSHARE share = NewRecord(entry);
    if (share == nullptr) return -1;
    *ppShare = share;
    return 0;
  }
  return -1;
}

void VELMShareFree(PVELMSHARE pShare) {
  if (pShare == nullptr) return;
  free(pShare->szName);
  free(pShare->szPath);
  free(pShare->szComment);
  free(pShare);
}

int VELMShareList(PVELMSHARE** pppShares, int* pCount) {
  if (pppShares == nullptr || pCount == nullptr) return -1;
  std::vector<ShareEntry> shares;
  if (!LoadShares(&shares)) return -1;
  // calloc(0) may answer null; ask for one slot so an empty list is valid.
  PVELMSHARE* list =
      static_cast<PVELMSHARE*>(calloc(shares.empty() ? 1 : shares.size(), sizeof(PVELMSHARE)));
  if (list == nullptr) return -1;
  for (size_t i = 0; i < shares.size(); ++i) {
    list[i] = NewRecord(shares[i]);
    if (list[i] == nullptr) {
      VELMShareFreeList(list, static_cast<int>(i));
      return -1;
    }
  }
  *pppShares = list;
  *pCount = static_cast<int>(shares.size());
  return 0;
}

void VELMShareFreeList(PVELMSHARE* ppShares, int count) {
  if (ppShares == nullptr) return;
  for (int i = 0; i < count; ++i) VELMShareFree(ppShares[i]);
  free(ppShares);
}

}  // extern "C"
