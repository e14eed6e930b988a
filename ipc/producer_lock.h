// ProducerLock: keeps two command-ring producers of this machine from claiming the same slot.
//
// The command ring has a single producer index and no interlocked operation on it, so every
// client that writes it (each tavrik-ctl run, test harnesses) holds this advisory lock from the
// moment it reads writeIndex until it has stored the new one. The worker never takes it: it only
// consumes. A peer that ignores the lock is not stopped by it.
//   POSIX  flock(LOCK_EX) on the command ring mapping's file descriptor
//   Win32  the named mutex "Local\CmdRingProducerLock"
//
// Threads: a lock is held by the thread that acquired it and must be released on that thread (the
// Win32 mutex is thread-owned). Acquire blocks the calling thread for at most the timeout.
#pragma once

#include <chrono>

#include "base/unique_handle.h"
#include "ipc/shared_memory.h"

namespace tavrik {

// Owns a held lock, this one or the WorkerLock: a locked descriptor (unlocked and closed) or an
// owned mutex handle (released and closed). Close is defined by each backend.
struct HeldLockTraits {
  using Value = NativeHandle;
  static constexpr Value Invalid() noexcept { return kNoHandle; }
  static void Close(Value lock) noexcept;
};

class ProducerLock {
 public:
  enum class Result {
    kAcquired,
    kTimedOut,     // another producer held it for the whole timeout
    kUnavailable,  // no lock object (the mapping has no handle, or the system refused)
  };

  // Waits up to `timeout` for the lock guarding `cmdRing`. The lock keeps its own reference to
  // the lock object, so it may outlive `cmdRing`.
  static Result Acquire(const SharedMapping& cmdRing, std::chrono::milliseconds timeout,
                        ProducerLock& out);

  bool Held() const { return lock_.Valid(); }
  // Releases the lock if held.
  void Release() { lock_.Reset(); }

 private:
  UniqueHandle<HeldLockTraits> lock_;
};

}  // namespace tavrik
