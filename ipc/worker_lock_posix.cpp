// POSIX backend of worker_lock.h: flock on a private file in the user's runtime directory.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "ipc/object_access_posix.h"
#include "ipc/worker_lock.h"

namespace tavrik {
namespace {

// Where the fallback lives: the same directory as the rings, where anyone may create a file but
// the vetting of its owner keeps a stranger's file from counting as our worker.
constexpr char kFallbackDirectory[] = "/dev/shm";

// A runtime directory only counts when no other user can place a file in it, which is what makes
// a lock there impossible to take in our name.
bool IsPrivateDirectory(const char* path) {
  if (path == nullptr || path[0] != '/') return false;
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens (and, for the worker, creates) the lock file of the current namespace and vets it like
// the rings. -1 with `status` filled on failure.
int OpenLockFile(bool create, OpenStatus& status) {
  const std::string path = WorkerLockPath(CurrentIpcNamespace());
  if (path.empty()) {
    status = {OpenError::kBadName, EINVAL};
    return -1;
  }
  // Read access is all that flock needs. A symbolic link planted in /dev/shm is never followed.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  const int fd = ::open(path.c_str(), flags, kPrivateObjectMode);
  if (fd < 0) {
    status = {errno == ELOOP ? OpenError::kNotOwned : OpenErrorOf(errno), errno};
    return -1;
  }
  struct stat st {};
  if (!VetPrivateObject(fd, st)) {
    ::close(fd);
    status = {OpenError::kNotOwned, EACCES};
    return -1;
  }
  return fd;
}

}  // namespace

std::string WorkerLockPath(std::string_view ns) {
  if (!IsValidIpcNamespace(ns)) return {};
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string path = IsPrivateDirectory(runtime) ? runtime : kFallbackDirectory;
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path + "/" + std::string(ns) + "-" + kWorkerLockName;
}

WorkerLock::Result WorkerLock::Acquire(WorkerLock& out, std::chrono::milliseconds patience) {
  out.Release();
  out.status_ = {};
  const int fd = OpenLockFile(/*create=*/true, out.status_);
  if (fd < 0) return Result::kUnavailable;
  UniqueHandle<HeldLockTraits> held(fd);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      out.lock_ = std::move(held);
      return Result::kAcquired;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      out.status_ = {OpenError::kSystem, errno};
      return Result::kUnavailable;
    }
    // A client's probe lets go at once, a stopping worker when its process ends; a running
    // worker never does.
    if (std::chrono::steady_clock::now() >= deadline) return Result::kTaken;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

WorkerLiveness QueryWorkerLiveness(OpenStatus* status) {
  OpenStatus local;
  OpenStatus& result = status != nullptr ? *status : local;
  result = {};
  const int fd = OpenLockFile(/*create=*/false, result);
  if (fd < 0) {
    if (result.error != OpenError::kNotFound) return WorkerLiveness::kUnknown;
    result = {};
    return WorkerLiveness::kNotRunning;
  }
  const UniqueHandle<HeldLockTraits> probe(fd);
  // A shared lock conflicts only with the worker's exclusive one, so probing clients do not
  // disturb each other; closing the descriptor lets it go.
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) return WorkerLiveness::kNotRunning;
  if (errno == EWOULDBLOCK) return WorkerLiveness::kRunning;
  result = {OpenError::kSystem, errno};
  return WorkerLiveness::kUnknown;
}

}  // namespace tavrik
