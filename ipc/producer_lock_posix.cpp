// POSIX backend of producer_lock.h: an exclusive flock on the command ring's shared-memory object.
// flock locks belong to the open file description, so every process (and every separate open in
// one process) competes, while the descriptor we dup for ourselves keeps the lock independent of
// the mapping's lifetime.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "ipc/producer_lock.h"

namespace tavrik {

void HeldLockTraits::Close(Value lock) noexcept {
  const int fd = static_cast<int>(lock);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

ProducerLock::Result ProducerLock::Acquire(const SharedMapping& cmdRing,
                                           std::chrono::milliseconds timeout, ProducerLock& out) {
  out.Release();
  if (!cmdRing.HasHandle()) return Result::kUnavailable;
  UniqueHandle<KernelHandleTraits> fd(
      ::fcntl(static_cast<int>(cmdRing.Handle()), F_DUPFD_CLOEXEC, 0));
  if (fd.Get() < 0) {
    fd.Release();
    return Result::kUnavailable;
  }

  // flock has no timed form; poll the non-blocking form, starting fine and backing off.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (::flock(static_cast<int>(fd.Get()), LOCK_EX | LOCK_NB) == 0) {
      out.lock_.Reset(fd.Release());
      return Result::kAcquired;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return Result::kUnavailable;
    if (std::chrono::steady_clock::now() >= deadline) return Result::kTimedOut;
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
  }
}

}  // namespace tavrik
