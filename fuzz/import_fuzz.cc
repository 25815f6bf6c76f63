// An import document, read as a stream and parsed whole, and loaded into an
// empty database. Nothing is committed: the importer's destructor rolls back (and removes the image
// files it wrote), so every input meets the same empty database.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/videodb/importer.h"
#include "platform/videodb/json_reader.h"
#include "platform/videodb/sqlite_db.h"

namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::OpenMode;

std::string* g_dir = nullptr;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveDir() { nftw(g_dir->c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

Connection* Database() {
  static Connection* conn = [] {
    std::string tmpl = "/tmp/kinoro-fuzz-import-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) abort();
    g_dir = new std::string(tmpl);
    atexit(RemoveDir);
    // Lives as long as the process.
    Connection* opened = Connection::Open(*g_dir + "/kinoro.db", OpenMode::kCreate).release();
    if (opened == nullptr) abort();
    return opened;
  }();
  return conn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Connection* conn = Database();
  // The text as kinoro-db import reads a file: a record at a time, the
  // sections found by a first pass and read again from their offsets.
  if (size > 0) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (file == nullptr) abort();
    {
      LibKinoro::db::internal::Importer importer(conn, *g_dir);
      std::string parse_error;
      if (importer.Begin()) importer.AddStream(file, &parse_error);
    }
    fclose(file);
  }
  Json::Value doc;
  std::string error;
  if (!LibKinoro::db::internal::ParseJson(
          std::string_view(reinterpret_cast<const char*>(data), size), &doc, &error)) {
    return 0;
  }
  // Relative image paths resolve against the (empty) folder of the database.
  LibKinoro::db::internal::Importer importer(conn, *g_dir);
  if (importer.Begin()) importer.AddDocument(doc);
  return 0;
}
