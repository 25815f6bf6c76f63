// A second module, to check that the host serves several at once.
#include <json/json.h>

#include "velm/api_table.h"
#include "velm/webapi.h"

void OtherHello(VELM::APIRequest*, VELM::APIResponse* resp) {
  Json::Value data(Json::objectValue);
  data["hello"] = "other";
  resp->SetSuccess(data);
}

static const APIMethodEntry gOtherTable[] = {
    {"Kinoro.Other", 1, "hello", OtherHello},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" const APIMethodEntry* GetAPITable() { return gOtherTable; }
