// Opening a file named by users below a folder the library trusts (a share
// root, the download folder) so that no name under that folder can lead
// outside it: not a symbolic link, not "..", not a folder swapped for a link
// between a check and the open.
#ifndef KINORO_PLATFORM_VIDEODB_SAFE_OPEN_H_
#define KINORO_PLATFORM_VIDEODB_SAFE_OPEN_H_

#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

enum class BeneathMethod {
  kAuto,     // openat2 where the kernel has it, else the walk
  kOpenat2,  // openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS only
  kWalk,     // one component at a time with O_NOFOLLOW
};

// Opens `relative` below the directory `root_fd` read-only and non-blocking,
// following no symbolic link on the way (the root itself was opened by the
// caller, and may be one). Empty and "." components are skipped; a ".."
// component fails with EXDEV, a symbolic link with ELOOP. The descriptor
// (close-on-exec), or -1 with errno set. What was opened is for the caller
// to check (fstat), not its name.
int OpenBeneath(int root_fd, const std::string& relative,
                BeneathMethod method = BeneathMethod::kAuto);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_SAFE_OPEN_H_
