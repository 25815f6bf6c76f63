// A database created in a fresh temporary folder for one test, made current
// for the process (LibKinoro::db::SetDatabasePath) and removed afterwards. While it
// lives the process's caller is the system (velm/caller.h).
#ifndef KINORO_TESTS_VIDEODB_TEMP_DB_H_
#define KINORO_TESTS_VIDEODB_TEMP_DB_H_

#include <json/json.h>

#include <string>
#include <vector>

namespace videodb_test {

class TempDb {
 public:
  TempDb();
  ~TempDb();
  TempDb(const TempDb&) = delete;
  TempDb& operator=(const TempDb&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& db_path() const { return db_path_; }

  // Imports a document given as JSON text; the import error, or "" on
  // success. Relative image paths resolve against dir().
  std::string Import(const std::string& json_text);
  // Writes a file below dir() and returns its path.
  std::string WriteFile(const std::string& name, const std::string& bytes) const;

  // Row counts of every table, as one comparable text.
  std::string Snapshot() const;

 private:
  std::string dir_;
  std::string db_path_;
};

// Parses JSON text; fails the test on bad text.
Json::Value ParseJson(const std::string& text);

// A real 8x8 JPEG, padded after its end marker to `size` bytes (when that
// is larger) with bytes that depend on `seed`.
std::string FakeJpeg(size_t size, int seed);

// A real JPEG of width x height pixels whose content depends on `seed`.
std::string EncodeJpeg(int width, int height, int seed);

// A PNG of width x height pixels, with an alpha channel when `alpha`. With
// rows >= 0 only that many rows of image data follow the header, so that a
// header can claim a size its data does not have.
std::string EncodePng(int width, int height, bool alpha, int rows = -1);

// The number of entries of a folder, hidden ones left out; 0 when missing.
int CountFiles(const std::string& dir);

// The ids of records, in order.
template <typename Record>
std::vector<int> Ids(const std::vector<Record>& records) {
  std::vector<int> ids;
  for (const Record& record : records) ids.push_back(record.id);
  return ids;
}

}  // namespace videodb_test

#endif  // KINORO_TESTS_VIDEODB_TEMP_DB_H_
