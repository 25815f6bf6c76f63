#include "tests/videodb/temp_db.h"

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <png.h>
#include <stdio.h>  // jpeglib.h needs FILE
#include <stdlib.h>
#include <unistd.h>

#include <jpeglib.h>

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
  // Created here, as kinoro-db init would: the library itself never creates
  // a database.
  if (LibKinoro::db::internal::Connection::Get(LibKinoro::db::internal::OpenMode::kCreate) ==
      nullptr) {
    ADD_FAILURE() << "cannot create " << db_path_;
  }
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

std::string EncodeJpeg(int width, int height, int seed) {
  std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 13 + seed * 29);
  jpeg_compress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  cinfo.optimize_coding = TRUE;  // small tables: a small image stays small
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &rgb[static_cast<size_t>(cinfo.next_scanline) * width * 3];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  free(buffer);
  return out;
}

std::string FakeJpeg(size_t size, int seed) {
  std::string bytes = EncodeJpeg(8, 8, seed);
  for (size_t i = bytes.size(); i < size; ++i) {
    bytes.push_back(static_cast<char>((i * 31 + seed * 7) & 0xff));
  }
  return bytes;
}

namespace {

void AppendPng(png_structp png, png_bytep data, size_t size) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), size);
}

void FlushNothing(png_structp) {}  // without it libpng would fflush() the string

}  // namespace

std::string EncodePng(int width, int height, bool alpha, int rows) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  const int channels = alpha ? 4 : 3;
  std::vector<unsigned char> row(static_cast<size_t>(width) * channels);
  if (setjmp(png_jmpbuf(png))) {
    ADD_FAILURE() << "libpng failed to write the test image";
    png_destroy_write_struct(&png, &info);
    return "";
  }
  png_set_write_fn(png, &out, AppendPng, FlushNothing);
  png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // Uncompressed, so that even one row fills libpng's buffer and reaches
  // the output as image data.
  if (rows >= 0) png_set_compression_level(png, 0);
  png_write_info(png, info);
  const int written = rows < 0 ? height : rows;
  for (int y = 0; y < written; ++y) {
    for (int x = 0; x < width; ++x) {
      unsigned char* p = &row[static_cast<size_t>(x) * channels];
      p[0] = static_cast<unsigned char>(x * 7);
      p[1] = static_cast<unsigned char>(y * 5);
      p[2] = 128;
      if (alpha) p[3] = static_cast<unsigned char>(x < width / 2 ? 0 : 255);
    }
    png_write_row(png, row.data());
  }
  if (rows < 0) png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
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
