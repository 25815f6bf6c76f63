#include "webapi/entries.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Row {
  const char* api;
  const char* method;
  APIMethodHandler handler;
};

// The rows the module serves, in table order.
const std::vector<Row>& ExpectedRows() {
  static const std::vector<Row> rows = {
      {"VELM.Kinoro.OfflineConversion", "list", OfflineConversionList_v1},
      {"VELM.Kinoro.OfflineConversion", "create", OfflineConversionCreate_v1},
      {"VELM.Kinoro.OfflineConversion", "delete", OfflineConversionDelete_v1},
      {"VELM.Kinoro.OfflineConversion", "stop", OfflineConversionStop_v1},
      {"VELM.Kinoro.OfflineConversion", "stop_all", OfflineConversionStop_All_v1},
      {"VELM.Kinoro.OfflineConversion", "restart", OfflineConversionRestart_v1},
      {"VELM.Kinoro.OfflineConversion", "restart_all", OfflineConversionRestart_All_v1},
      {"VELM.Kinoro.Backdrop", "get", BackdropGet_v1},
      {"VELM.Kinoro.Backdrop", "add", BackdropAdd_v1},
      {"VELM.Kinoro.Backdrop", "delete_all", BackdropDelete_All_v1},
      {"VELM.Kinoro.AcrossLibrary", "list_movie", AcrossLibraryListMovie_v1},
      {"VELM.Kinoro.AcrossLibrary", "list_library", AcrossLibraryListLibrary_v1},
  };
  return rows;
}

TEST(MethodTable, SameAddressEveryCallAndIsTheExportedArray) {
  const APIMethodEntry* first = GetAPITable();
  EXPECT_EQ(first, GetAPITable());
  EXPECT_EQ(first, &gTable[0]);
}

TEST(MethodTable, RowsInOrderThenTheZeroRow) {
  const APIMethodEntry* row = GetAPITable();
  for (const Row& expected : ExpectedRows()) {
    ASSERT_NE(nullptr, row->api) << "table ended early before " << expected.method;
    EXPECT_STREQ(expected.api, row->api);
    EXPECT_EQ(1, row->version);
    EXPECT_STREQ(expected.method, row->method);
    EXPECT_EQ(expected.handler, row->handler);
    ++row;
  }
  EXPECT_EQ(nullptr, row->api);
  EXPECT_EQ(0, row->version);
  EXPECT_EQ(nullptr, row->method);
  EXPECT_EQ(nullptr, row->handler);
}

TEST(MethodTable, RowsOfOneApiShareOneNameString) {
  const char* seen_name = nullptr;
  std::string seen_text;
  for (const APIMethodEntry* row = GetAPITable(); row->api != nullptr; ++row) {
    if (seen_name != nullptr && seen_text == row->api) {
      EXPECT_EQ(seen_name, row->api);
    }
    seen_name = row->api;
    seen_text = row->api;
  }
}

}  // namespace
