#include "platform/host/privileges.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace kinoro {
namespace host {

bool ResolveRunUser(const std::string& name, RunUser* out, std::string* error) {
  *out = RunUser();
  if (name.empty()) return true;
  std::vector<char> buf(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  int rc = getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found);
  if (found == nullptr) {
    *error = "no system user \"" + name + "\"" + (rc != 0 ? std::string(": ") + strerror(rc) : "");
    return false;
  }
  out->name = name;
  out->uid = pw.pw_uid;
  out->gid = pw.pw_gid;
  if (geteuid() != 0) {
    if (pw.pw_uid != geteuid()) {
      *error = "--user " + name + " needs kinoro-host to be started as root";
      return false;
    }
    return true;  // already that user
  }
  out->switch_ids = pw.pw_uid != 0;
  return true;
}

bool SwitchToRunUser(const RunUser& user, std::string* error) {
  if (!user.switch_ids) return true;
  // Groups first: changing them needs an effective uid of root.
  if (initgroups(user.name.c_str(), user.gid) != 0) {
    *error = std::string("initgroups: ") + strerror(errno);
    return false;
  }
  if (setresgid(static_cast<gid_t>(-1), user.gid, static_cast<gid_t>(-1)) != 0) {
    *error = std::string("setresgid: ") + strerror(errno);
    return false;
  }
  if (setresuid(static_cast<uid_t>(-1), user.uid, static_cast<uid_t>(-1)) != 0) {
    *error = std::string("setresuid: ") + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace host
}  // namespace kinoro
