// Pid files of the package's daemons. A daemon holds a write lock (fcntl) on
// its pid file for as long as it runs: the lock, not the number in the file,
// says that the daemon lives, and the lock's holder must be the process the
// file names. The kernel drops the lock with its process, so a daemon killed
// with SIGKILL leaves a file that names nobody, not a pid that may have
// been given to an unrelated process since.
#ifndef KINORO_PLATFORM_SERVICES_PID_FILE_H_
#define KINORO_PLATFORM_SERVICES_PID_FILE_H_

#include <string>

namespace velm_services {

// Makes `path` name this process: refused (-1, with the reason in *error)
// while a live process holds it. The file is written whole under another
// name in the same folder, locked, then renamed into place, so a reader
// never sees it half written. The descriptor that holds the lock, to keep
// open while the daemon runs (closing any descriptor of the file in this
// process drops the lock).
int HoldPidFile(const std::string& path, std::string* error);

// Removes `path` when it is still the file `fd` holds, and closes `fd`.
void ReleasePidFile(const std::string& path, int fd);

// The pid that `path` names when the process holding its lock is that pid:
// -1 for a missing, stale or malformed file and for anything but a regular
// file (a FIFO is opened without blocking and refused).
long LivePidFromFile(const char* path);

}  // namespace velm_services

#endif  // KINORO_PLATFORM_SERVICES_PID_FILE_H_
