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

namespace {

bool ChangeIds(const RunUser& user, bool for_good, std::string* error) {
  if (!user.switch_ids) return true;
  const gid_t keep_gid = static_cast<gid_t>(-1);
  const uid_t keep_uid = static_cast<uid_t>(-1);
  // Groups first: changing them needs an effective uid of root.
  if (initgroups(user.name.c_str(), user.gid) != 0) {
    *error = std::string("initgroups: ") + strerror(errno);
    return false;
  }
  if (setresgid(for_good ? user.gid : keep_gid, user.gid, for_good ? user.gid : keep_gid) != 0) {
    *error = std::string("setresgid: ") + strerror(errno);
    return false;
  }
  if (setresuid(for_good ? user.uid : keep_uid, user.uid, for_good ? user.uid : keep_uid) != 0) {
    *error = std::string("setresuid: ") + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool SwitchToRunUser(const RunUser& user, std::string* error) {
  return ChangeIds(user, false, error);
}

bool DropToRunUser(const RunUser& user, std::string* error) { return ChangeIds(user, true, error); }

}  // namespace host
}  // namespace kinoro
