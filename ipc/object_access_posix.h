// POSIX backend helper: the checks every named object of ours (ring mappings, their semaphores,
// the worker lock) passes before it is used, and what a failed open means. Shared by
// shared_memory_posix.cpp and worker_lock_posix.cpp. Any thread; the calls touch only the
// descriptor they are given.
#pragma once

#include <sys/stat.h>

#include "ipc/shared_memory.h"

namespace tavrik {

// The mode every object is created with and reset to: read-write for its owner only, so that no
// other local user can write commands or read results.
inline constexpr mode_t kPrivateObjectMode = 0600;

// True when `fd` is a regular file (shm objects and glibc's semaphores are files in /dev/shm)
// owned by this process's effective user, with mode 0600. Any other mode (bits for group or
// others, or an owner narrowed by the umask) is reset to 0600 first; false when that fails.
// `st` receives the file's status.
bool VetPrivateObject(int fd, struct stat& st);

// What an errno of shm_open or sem_open means for the caller.
OpenError OpenErrorOf(int error);

}  // namespace tavrik
