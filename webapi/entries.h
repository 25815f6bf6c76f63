// The module's method table and entry functions: its only point of contact
// with the host.
#ifndef KINORO_WEBAPI_ENTRIES_H_
#define KINORO_WEBAPI_ENTRIES_H_

#include "velm/api_table.h"

extern "C" const APIMethodEntry* GetAPITable();
extern const APIMethodEntry gTable[];

void OfflineConversionList_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void OfflineConversionCreate_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void OfflineConversionDelete_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void OfflineConversionStop_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void OfflineConversionStop_All_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void OfflineConversionRestart_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void OfflineConversionRestart_All_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void BackdropGet_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void BackdropAdd_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void BackdropDelete_All_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void AcrossLibraryListMovie_v1(VELM::APIRequest* request, VELM::APIResponse* response);
void AcrossLibraryListLibrary_v1(VELM::APIRequest* request, VELM::APIResponse* response);

#endif  // KINORO_WEBAPI_ENTRIES_H_
