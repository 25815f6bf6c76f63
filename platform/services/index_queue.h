// The lock that the queue's writers and its reader share. Writers append
// records under it; the reader takes the whole queue by renaming the file
// away under it. A writer that opened the queue before such a rename finds,
// once it holds the lock, that its descriptor is no longer the file at the
// queue's path, and opens the path again.
#ifndef KINORO_PLATFORM_SERVICES_INDEX_QUEUE_H_
#define KINORO_PLATFORM_SERVICES_INDEX_QUEUE_H_

namespace velm_services {

// Opens `path` with `flags` (O_CLOEXEC and O_NOFOLLOW are added) and locks
// it, so that the locked descriptor is the file at `path`. -1 with errno on
// failure (ENOENT when there is no queue and `flags` has no O_CREAT).
int OpenLockedQueue(const char* path, int flags);

}  // namespace velm_services

#endif  // KINORO_PLATFORM_SERVICES_INDEX_QUEUE_H_
