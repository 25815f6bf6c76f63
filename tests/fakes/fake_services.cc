#include "tests/fakes/fake_services.h"

#include <cstdlib>
#include <cstring>

#include "velm/services.h"

namespace fake {

ServicesWorld& Services() {
  static ServicesWorld* world = new ServicesWorld();
  return *world;
}

void ResetServices() { Services() = ServicesWorld(); }

}  // namespace fake

extern "C" {

int VELMShareGet(const char* szName, PVELMSHARE* ppShare) {
  fake::ServicesWorld& w = fake::Services();
  ++w.share_gets;
  auto it = w.shares.find(szName ? szName : "");
  if (it == w.shares.end()) return -1;
  PVELMSHARE share = static_cast<PVELMSHARE>(std::calloc(1, sizeof(VELMSHARE)));
  share->szName = strdup(it->first.c_str());
  share->szPath = strdup(it->second.c_str());
  share->szComment = strdup("");
  *ppShare = share;
  return 0;
}

void VELMShareFree(PVELMSHARE pShare) {
  if (!pShare) return;
  ++fake::Services().share_frees;
  std::free(pShare->szName);
  std::free(pShare->szPath);
  std::free(pShare->szComment);
  std::free(pShare);
}

int WriteIndexQueue(const char* szRecord, const char* szQueueFile) {
  fake::ServicesWorld& w = fake::Services();
  w.queued.emplace_back(szRecord, szQueueFile);
  return w.queue_result;
}

int VLIBCProcSignalByPidFile(const char* szPidFile, int sig) {
  fake::Services().signals.emplace_back(szPidFile, sig);
  return 0;
}

}  // extern "C"
