// POSIX producer lock: an exclusive flock on the command ring's shared-memory object. flock locks
// belong to the open file description, so every process (and every separate open in one
// process) competes, while the descriptor we dup for ourselves keeps the lock independent of the
// mapping's lifetime.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "ipc/producer_lock.h"

namespace tavrik {

ProducerLock::ProducerLock(ProducerLock&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)) {}

ProducerLock& ProducerLock::operator=(ProducerLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNoHandle);
  }
  return *this;
}

ProducerLock::~ProducerLock() { Release(); }

ProducerLock::Result ProducerLock::Acquire(const SharedMapping& cmdRing,
                                           std::chrono::milliseconds timeout, ProducerLock& out) {
  out.Release();
  if (!cmdRing.HasHandle()) return Result::kUnavailable;
  const int fd = ::fcntl(static_cast<int>(cmdRing.Handle()), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Result::kUnavailable;

  // flock has no timed form; poll the non-blocking form, starting fine and backing off.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      out.handle_ = fd;
      return Result::kAcquired;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return Result::kTimedOut;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
  }
  ::close(fd);
  return Result::kUnavailable;
}

void ProducerLock::Release() {
  if (handle_ == kNoHandle) return;
  const int fd = static_cast<int>(handle_);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  handle_ = kNoHandle;
}

}  // namespace tavrik
