#include "common/backup_utils.h"

#include <syslog.h>
#include <unistd.h>

#include "kinoro/root.h"
#include "velm/services.h"

namespace Kinoro {

namespace {

constexpr char kSource[] = "backup_utils";
constexpr int kRunAsLine = 19;
constexpr int kWriteFailedLine = 23;
constexpr char kRunAsName[] = "IF_RUN_AS";
constexpr char kQueuePath[] = KINORO_PATH("/var/spool/velm_video_metadata.queue");

// -1 leaves the real and saved ids alone.
constexpr uid_t kKeepUid = static_cast<uid_t>(-1);
constexpr gid_t kKeepGid = static_cast<gid_t>(-1);

}  // namespace

RunAsScope::RunAsScope(uid_t uid, gid_t gid, const char* source, int line, const char* name)
    : saved_uid_(geteuid()),
      saved_gid_(getegid()),
      source_(source),
      line_(line),
      name_(name),
      switched_(false) {
  switched_ = Begin(uid, gid);
  if (!switched_) {
    syslog(LOG_AUTH | LOG_ERR, "%s:%d ERROR: %s(%d, %d)", source_, line_, name_,
           static_cast<int>(uid), static_cast<int>(gid));
  }
}

RunAsScope::~RunAsScope() { End(); }

bool RunAsScope::Begin(uid_t uid, gid_t gid) {
  if (saved_uid_ == uid && saved_gid_ == gid) return true;
  // Changing the group needs root first; the target user comes last because
  // it may give root up again.
  if (geteuid() != 0 && setresuid(kKeepUid, 0, kKeepUid) < 0) return false;
  if (getegid() != gid && setresgid(kKeepGid, gid, kKeepGid) != 0) return false;
  if (geteuid() != uid && setresuid(kKeepUid, uid, kKeepUid) != 0) return false;
  return true;
}

void RunAsScope::End() {
  const uid_t current_uid = geteuid();
  const gid_t current_gid = getegid();
  if (current_uid == saved_uid_ && current_gid == saved_gid_) return;
  bool ok = true;
  if (current_uid != 0 && current_uid != saved_uid_ && setresuid(kKeepUid, 0, kKeepUid) < 0) {
    ok = false;
  } else if (saved_gid_ != current_gid && saved_gid_ != kKeepGid &&
             setresgid(kKeepGid, saved_gid_, kKeepGid) != 0) {
    ok = false;
  } else if (saved_uid_ != current_uid && saved_uid_ != kKeepUid &&
             setresuid(kKeepUid, saved_uid_, kKeepUid) != 0) {
    ok = false;
  }
  if (!ok) {
    syslog(LOG_AUTH | LOG_CRIT, "%s:%d ERROR: ~%s(%d, %d)", source_, line_, name_,
           static_cast<int>(saved_uid_), static_cast<int>(saved_gid_));
  }
}

bool WriteBackupTaskToQueue(const std::string& type, int id) {
  const std::string record = "b:" + type + ":" + std::to_string(id);
  RunAsScope run_as_root(0, 0, kSource, kRunAsLine, kRunAsName);
  if (!run_as_root.switched()) return false;
  if (WriteIndexQueue(record.c_str(), kQueuePath) < 0) {
    syslog(LOG_ERR, "%s:%d failed to write backup task %s(%d)", kSource, kWriteFailedLine,
           type.c_str(), id);
    return false;
  }
  return true;
}

}  // namespace Kinoro
