// The user scope shared by every query: which libraries a user may see.
#ifndef KINORO_PLATFORM_VIDEODB_SCOPE_H_
#define KINORO_PLATFORM_VIDEODB_SCOPE_H_

#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

class Connection;

// Ids of the libraries visible to the user, ascending: every library for an
// administrator, else the public ones and those that list the uid. False
// when the database failed.
bool VisibleLibraryIds(Connection* conn, bool is_admin, unsigned int uid, std::vector<int>* ids);

// The same rule for one library: sets `visible`; false when the database
// failed.
bool LibraryVisible(Connection* conn, bool is_admin, unsigned int uid, int library_id,
                    bool* visible);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_SCOPE_H_
