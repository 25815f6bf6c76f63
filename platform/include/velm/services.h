// Appliance services the package's modules rely on: shares, process
// signalling by pid file, the index queue and the user directory.
#ifndef KINORO_PLATFORM_INCLUDE_VELM_SERVICES_H_
#define KINORO_PLATFORM_INCLUDE_VELM_SERVICES_H_

#include <string>

extern "C" {

// A shared folder. Records come from VELMShareGet and go back to VELMShareFree.
typedef struct _tag_VELMSHARE_ {
  char* szName;
  char* szPath;  // absolute path of the share's root directory
  char* szComment;
} VELMSHARE, *PVELMSHARE;

// Looks a share up by name in the root's "/etc/velm/shares.conf". 0 on
// success with *ppShare set; -1 when there is no such share or the
// configuration cannot be read.
int VELMShareGet(const char* szName, PVELMSHARE* ppShare);
void VELMShareFree(PVELMSHARE pShare);

// Every share, in configuration order: 0 on success with *pppShares an array
// of *pCount records (free it with VELMShareFreeList); -1 on failure.
int VELMShareList(PVELMSHARE** pppShares, int* pCount);
void VELMShareFreeList(PVELMSHARE* ppShares, int count);

// Sends `sig` to the daemon named by `szPidFile`: the file must hold only
// its pid and the daemon must hold the file's lock (a daemon that died
// leaves a file that names nobody). 0 on success, -1 when the file is
// missing, malformed or stale, or the signal cannot be sent.
int VLIBCProcSignalByPidFile(const char* szPidFile, int sig);

// Appends one record as a line to the queue file, under the lock the
// queue's reader also takes; creates the file. The record must not hold a
// line break. 0 on success, -1 on failure (and then nothing of the record
// stays in the file).
int WriteIndexQueue(const char* szRecord, const char* szQueueFile);

}  // extern "C"

namespace libkr {

// A user of the appliance's directory (the root's "/etc/velm/users.db").
class VelmUser {
 public:
  explicit VelmUser(unsigned int uid);
  ~VelmUser();

  unsigned int uid() const { return uid_; }
  // The user's name; empty for an unknown user.
  std::string name() const { return name_; }
  bool exists() const { return exists_; }
  bool is_admin() const { return is_admin_; }

 private:
  unsigned int uid_;
  std::string name_;
  bool exists_;
  bool is_admin_;
};

}  // namespace libkr

#endif  // KINORO_PLATFORM_INCLUDE_VELM_SERVICES_H_
