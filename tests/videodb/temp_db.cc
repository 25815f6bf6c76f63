#include "tests/videodb/temp_db.h"

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "libkinoro/api.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "velm/caller.h"

namespace videodb_test {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

TempDb::TempDb() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kinoro-videodb-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  dir_ = tmpl;
  db_path_ = dir_ + "/kinoro.db";
  LibKinoro::db::SetDatabasePath(db_path_);
  // Tests that use the library directly act as a tool does; a host call
  // names its own caller and clears it afterwards.
  velm::SetCallerSystem();
}

TempDb::~TempDb() {
  velm::ClearCaller();
  LibKinoro::db::SetDatabasePath("/nonexistent/kinoro-test-closed.db");  // closes the connection
  nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDb::Import(const std::string& json_text) {
  std::string file = WriteFile("import.json", json_text);
  LibKinoro::db::internal::Connection* conn = LibKinoro::db::internal::Connection::Get();
  if (conn == nullptr) return "cannot open database";
  std::string error;
  if (!LibKinoro::db::internal::ImportFile(conn, file, false, nullptr, &error)) return error;
  return "";
}

std::string TempDb::WriteFile(const std::string& name, const std::string& bytes) const {
  std::string path = dir_ + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return path;
}

std::string TempDb::Snapshot() const {
  LibKinoro::db::internal::Connection* conn = LibKinoro::db::internal::Connection::Get();
  if (conn == nullptr) return "no database";
  std::ostringstream out;
  LibKinoro::db::internal::Statement tables =
      conn->Prepare("SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name");
  std::vector<std::string> names;
  while (tables.Step()) names.push_back(tables.ColumnText(0));
  for (const std::string& name : names) {
    std::string sql = "SELECT COUNT(*) FROM " + name;
    LibKinoro::db::internal::Statement count = conn->Prepare(sql.c_str());
    count.Step();
    out << name << "=" << count.ColumnInt64(0) << " ";
  }
  return out.str();
}

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors << "\n" << text;
  return value;
}

std::string FakeJpeg(size_t size, int seed) {
  std::string bytes(size, '\0');
  const char header[] = {'\xff', '\xd8', '\xff', '\xe0'};
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = i < sizeof(header) ? header[i] : static_cast<char>((i * 31 + seed * 7) & 0xff);
  }
  return bytes;
}

int CountFiles(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  int n = 0;
  while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

}  // namespace videodb_test
