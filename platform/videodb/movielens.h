// Converts a MovieLens folder (movies.csv, links.csv, ratings.csv, tags.csv)
// into the import format: one public movie library; the mean user rating
// becomes the rating; genres and tags carry over; TMDb and IMDb ids come
// from links.csv.
#ifndef KINORO_PLATFORM_VIDEODB_MOVIELENS_H_
#define KINORO_PLATFORM_VIDEODB_MOVIELENS_H_

#include <json/json.h>

#include <string>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

// Splits CSV text into records of fields (RFC 4180 quoting, quoted fields
// may hold commas, doubled quotes and line breaks).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text);

// The import document for the folder. movies.csv is required; the other
// files are optional. False with `error` naming the file and line.
bool MovieLensToJson(const std::string& dir, Json::Value* doc, std::string* error);

// MovieLensToJson written to `out_path`.
bool ConvertMovieLens(const std::string& dir, const std::string& out_path, long long* movies,
                      std::string* error);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_MOVIELENS_H_
