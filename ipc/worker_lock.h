// WorkerLock: one worker per ring set, and the liveness signal that clients read.
//
// Two workers on the same rings would each take commands at random. The worker therefore holds
// this lock for its whole life, and a client that finds it free knows that nobody will ever run
// what it publishes, however many ring objects a dead worker left behind.
//   POSIX  the shared-memory object "/<ns>-TavrikWorkerLock", created 0600 like the rings (one of
//          another user is refused), held with flock(LOCK_EX | LOCK_NB). A client opens the
//          object itself and tries flock(LOCK_SH | LOCK_NB), releasing it at once: refused means
//          a worker is alive. Such a probe holds the lock for an instant, so the worker retries
//          for a while before it concludes that another worker runs.
//   Win32  the named mutex "Local\TavrikWorkerLock", created and owned by the worker for its life.
//          A client opens it (SYNCHRONIZE) and waits on it for 0 ms: a timeout means a worker is
//          alive; a client that obtained it releases it at once.
// The lock dies with its holder: the system drops a dead process's flock and abandons its mutex.
//
// Threads: Acquire and Release on the same thread (the Win32 mutex belongs to the thread that took
// it; the worker uses its main thread). QueryWorkerLiveness from any thread, but on Win32 not from
// the thread that holds the lock: mutexes are recursive, so that thread would find it free.
#pragma once

#include <chrono>

#include "base/unique_handle.h"
#include "ipc/producer_lock.h"
#include "ipc/shared_memory.h"

namespace tavrik {

// How long the worker keeps trying for the lock before it concludes that another worker runs:
// long enough to outlast any client's probe.
inline constexpr std::chrono::milliseconds kWorkerLockPatience{1000};

class WorkerLock {
 public:
  enum class Result {
    kAcquired,
    kTaken,        // another worker holds it
    kUnavailable,  // the lock object cannot be used (another user's, or the system refused);
                   // Status() says why
  };

  // Creates or opens the lock object of the current IPC namespace and takes the lock, trying for
  // up to `patience`. Worker start-up.
  static Result Acquire(WorkerLock& out, std::chrono::milliseconds patience = kWorkerLockPatience);

  bool Held() const { return lock_.Valid(); }
  const OpenStatus& Status() const { return status_; }
  // Releases the lock if held.
  void Release() { lock_.Reset(); }

 private:
  UniqueHandle<HeldLockTraits> lock_;  // the locked descriptor, or the owned mutex
  OpenStatus status_;
};

enum class WorkerLiveness {
  kRunning,     // a worker holds the lock
  kNotRunning,  // the lock is free, or its object does not exist
  kUnknown,     // the lock object cannot be used; `status` says why (kNotOwned: another user's)
};

// Whether a worker runs in the current IPC namespace. Never creates anything and never waits.
WorkerLiveness QueryWorkerLiveness(OpenStatus* status = nullptr);

}  // namespace tavrik
