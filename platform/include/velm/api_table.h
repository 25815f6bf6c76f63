// The method table an API module hands to the host through GetAPITable().
#ifndef KINORO_PLATFORM_INCLUDE_VELM_API_TABLE_H_
#define KINORO_PLATFORM_INCLUDE_VELM_API_TABLE_H_

namespace VELM {
class APIRequest;
class APIResponse;
}  // namespace VELM

typedef void (*APIMethodHandler)(VELM::APIRequest*, VELM::APIResponse*);

// One row. The table ends with a row whose fields are all zero.
struct APIMethodEntry {
  const char* api;
  int version;
  const char* method;
  APIMethodHandler handler;
};

// The symbol a module exports; the host looks it up with dlsym.
typedef const APIMethodEntry* (*GetAPITableFunc)();
#define VELM_GET_API_TABLE_SYMBOL "GetAPITable"

#endif  // KINORO_PLATFORM_INCLUDE_VELM_API_TABLE_H_
