// The database schema and its version.
#ifndef KINORO_PLATFORM_VIDEODB_SCHEMA_H_
#define KINORO_PLATFORM_VIDEODB_SCHEMA_H_

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

// PRAGMA user_version of the schema this library writes. Each version adds
// a migration step from the one before.
constexpr int kSchemaVersion = 5;

// Credit roles in the credit table.
enum CreditRole { kRoleActor = 1, kRoleDirector = 2, kRoleWriter = 3 };

// Creates the schema in an empty database, or checks that an existing one is
// a version this library can use. False (logged) otherwise.
bool EnsureSchema(Connection* conn);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_SCHEMA_H_
