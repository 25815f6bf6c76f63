// The user that kinoro-host's front and workers run as. Started as root with
// --user, a worker takes that user's ids as its effective ids and keeps root
// as real and saved ids, so a module can switch to root for a moment (and
// back) while serving; the front, which runs no module, drops root for good.
#ifndef KINORO_PLATFORM_HOST_PRIVILEGES_H_
#define KINORO_PLATFORM_HOST_PRIVILEGES_H_

#include <sys/types.h>

#include <string>

namespace kinoro {
namespace host {

struct RunUser {
  bool switch_ids = false;  // false: keep the ids the process has
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Looks `name` up. An empty name, or the name of the user the process already
// runs as, needs no switch. Any other name needs root.
bool ResolveRunUser(const std::string& name, RunUser* out, std::string* error);

// Sets the supplementary groups and the effective gid and uid.
bool SwitchToRunUser(const RunUser& user, std::string* error);
// Sets the supplementary groups and every gid and uid (real, effective and
// saved): there is no way back.
bool DropToRunUser(const RunUser& user, std::string* error);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_PRIVILEGES_H_
