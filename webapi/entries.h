// The module's method table and entry functions: its only point of contact
// with the host.
#ifndef KINORO_WEBAPI_ENTRIES_H_
#define KINORO_WEBAPI_ENTRIES_H_

#include "velm/api_table.h"

extern "C" const APIMethodEntry* GetAPITable();
extern const APIMethodEntry gTable[];

void AcrossLibraryListLibrary_v1(VELM::APIRequest* request, VELM::APIResponse* response);

#endif  // KINORO_WEBAPI_ENTRIES_H_
