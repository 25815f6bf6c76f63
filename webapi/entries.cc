#include "webapi/entries.h"

#include "webapi/across_library.h"

namespace {
// Rows of one API share one name string.
const char kAcrossLibrary[] = "VELM.Kinoro.AcrossLibrary";
}  // namespace

// Plain initialised data: no constructor runs for it at load time.
extern const APIMethodEntry gTable[] = {
    {kAcrossLibrary, 1, "list_library", AcrossLibraryListLibrary_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" const APIMethodEntry* GetAPITable() { return gTable; }

// Entry functions have no catch clause: an exception runs the API object's
// destructor and continues into the host, which answers it.
void AcrossLibraryListLibrary_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::AcrossLibraryAPI api(request, response);
  api.ListLibrary_v1();
}
