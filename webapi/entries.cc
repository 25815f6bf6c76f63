#include "webapi/entries.h"

#include "webapi/across_library.h"
#include "webapi/backdrop.h"
#include "webapi/offline_conversion.h"

namespace {
// Rows of one API share one name string.
const char kOfflineConversion[] = "VELM.Kinoro.OfflineConversion";
const char kBackdrop[] = "VELM.Kinoro.Backdrop";
const char kAcrossLibrary[] = "VELM.Kinoro.AcrossLibrary";
}  // namespace

// Plain initialised data: no constructor runs for it at load time.
extern const APIMethodEntry gTable[] = {
    {kOfflineConversion, 1, "list", OfflineConversionList_v1},
    {kOfflineConversion, 1, "create", OfflineConversionCreate_v1},
    {kOfflineConversion, 1, "delete", OfflineConversionDelete_v1},
    {kOfflineConversion, 1, "stop", OfflineConversionStop_v1},
    {kOfflineConversion, 1, "stop_all", OfflineConversionStop_All_v1},
    {kOfflineConversion, 1, "restart", OfflineConversionRestart_v1},
    {kOfflineConversion, 1, "restart_all", OfflineConversionRestart_All_v1},
    {kBackdrop, 1, "get", BackdropGet_v1},
    {kBackdrop, 1, "add", BackdropAdd_v1},
    {kBackdrop, 1, "delete_all", BackdropDelete_All_v1},
    {kAcrossLibrary, 1, "list_movie", AcrossLibraryListMovie_v1},
    {kAcrossLibrary, 1, "list_library", AcrossLibraryListLibrary_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" const APIMethodEntry* GetAPITable() { return gTable; }

// Entry functions have no catch clause: an exception runs the API object's
// destructor and continues into the host, which answers it.
void OfflineConversionList_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.List_v1();
}

void OfflineConversionCreate_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.Create_v1();
}

void OfflineConversionDelete_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.Delete_v1();
}

void OfflineConversionStop_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.Stop_v1();
}

void OfflineConversionStop_All_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.Stop_All_v1();
}

void OfflineConversionRestart_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.Restart_v1();
}

void OfflineConversionRestart_All_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::OfflineConversionAPI api(request, response);
  api.Restart_All_v1();
}

void BackdropGet_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::BackdropAPI api(request, response);
  api.Get_v1();
}

void BackdropAdd_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::BackdropAPI api(request, response);
  api.Add_v1();
}

void BackdropDelete_All_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::BackdropAPI api(request, response);
  api.Delete_All_v1();
}

void AcrossLibraryListMovie_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::AcrossLibraryAPI api(request, response);
  api.ListMovie_v1();
}

void AcrossLibraryListLibrary_v1(VELM::APIRequest* request, VELM::APIResponse* response) {
  velmkr::webapi::AcrossLibraryAPI api(request, response);
  api.ListLibrary_v1();
}
