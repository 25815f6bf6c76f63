// Deterministic synthetic libraries at scale, for benchmarks and load tests:
// the same movie count and seed give the same database on every machine.
#ifndef KINORO_PLATFORM_VIDEODB_GENERATOR_H_
#define KINORO_PLATFORM_VIDEODB_GENERATOR_H_

#include <json/json.h>

#include <cstdint>
#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

struct GenerateOptions {
  long long movies = 1000;
  uint64_t seed = 1;
  bool progress = false;  // a line on standard error every 10,000 movies
};

// The libraries of a generated database: 1 public, 2 for user 1001, 3 for
// users 1001 and 1002, 4 for user 1003. Movie i goes to library
// 1 + i % 4.
constexpr int kGeneratedLibraries = 4;

// Movie number `index` (from 1) as an import record; exposed so tests can
// check determinism without a database.
Json::Value GeneratedMovie(long long index, long long total, uint64_t seed);

// Fills an empty database in one transaction. False with `error` set when
// the database already holds libraries or the import failed.
bool Generate(Connection* conn, const GenerateOptions& options, std::string* error);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_GENERATOR_H_
