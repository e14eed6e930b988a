// POSIX backend of worker_lock.h: flock on a private shared-memory object of the namespace.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "ipc/object_access_posix.h"
#include "ipc/ring_layout.h"
#include "ipc/worker_lock.h"

namespace tavrik {
namespace {

// Opens (and, for the worker, creates) the lock object and vets it like the rings. -1 with
// `status` filled on failure.
int OpenLockObject(bool create, OpenStatus& status) {
  const std::string object = PosixObjectName(CurrentIpcNamespace(), kWorkerLockName);
  if (object.empty()) {
    status = {OpenError::kBadName, EINVAL};
    return -1;
  }
  // Read access is all that flock needs; the object is never mapped.
  const int flags = O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0);
  const int fd = ::shm_open(object.c_str(), flags, kPrivateObjectMode);
  if (fd < 0) {
    status = {OpenErrorOf(errno), errno};
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

WorkerLock::Result WorkerLock::Acquire(WorkerLock& out, std::chrono::milliseconds patience) {
  out.Release();
  out.status_ = {};
  const int fd = OpenLockObject(/*create=*/true, out.status_);
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
    // A client's probe lets go at once; another worker never does.
    if (std::chrono::steady_clock::now() >= deadline) return Result::kTaken;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

WorkerLiveness QueryWorkerLiveness(OpenStatus* status) {
  OpenStatus local;
  OpenStatus& result = status != nullptr ? *status : local;
  result = {};
  const int fd = OpenLockObject(/*create=*/false, result);
  if (fd < 0) {
    if (result.error != OpenError::kNotFound) return WorkerLiveness::kUnknown;
    result = {};
    return WorkerLiveness::kNotRunning;
  }
  const UniqueHandle<HeldLockTraits> probe(fd);
  // A shared lock conflicts only with the worker's exclusive one; two probing clients do not
  // disturb each other. Closing the descriptor releases it.
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) return WorkerLiveness::kNotRunning;
  if (errno == EWOULDBLOCK) return WorkerLiveness::kRunning;
  result = {OpenError::kSystem, errno};
  return WorkerLiveness::kUnknown;
}

}  // namespace tavrik
