// Backup tasks for the video metadata daemon, queued with root privileges.
#ifndef KINORO_COMMON_BACKUP_UTILS_H_
#define KINORO_COMMON_BACKUP_UTILS_H_

#include <sys/types.h>

#include <string>

namespace Kinoro {

// Switches the process's effective user and group for the length of a block
// and restores them at its end. Only effective ids change; real and saved
// ids stay, so the process can always switch back. The switch affects every
// thread of the process. A failed switch or restore is logged under the
// authorisation facility, naming `name` at `source`:`line`.
class RunAsScope {
 public:
  RunAsScope(uid_t uid, gid_t gid, const char* source, int line, const char* name);
  ~RunAsScope();
  RunAsScope(const RunAsScope&) = delete;
  RunAsScope& operator=(const RunAsScope&) = delete;

  // The ids are switched and the block may run.
  bool switched() const { return switched_; }

 private:
  bool Begin(uid_t uid, gid_t gid);
  void End();

  uid_t saved_uid_;
  gid_t saved_gid_;
  const char* source_;
  int line_;
  const char* name_;
  bool switched_;
};

// Queues the record "b:<type>:<id>" in the metadata queue as root. True when
// the queue writer accepted it; false (with a log line) when the switch to
// root or the write failed. The caller's ids are restored in every case.
bool WriteBackupTaskToQueue(const std::string& type, int id);

}  // namespace Kinoro

#endif  // KINORO_COMMON_BACKUP_UTILS_H_
