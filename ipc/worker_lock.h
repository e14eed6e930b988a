// WorkerLock: one worker per ring set, and the liveness signal that clients read.
//
// Two workers on the same rings would each take commands at random. The worker therefore holds
// this lock for its whole life, and a client that finds it free knows that nobody will ever run
// what it publishes, however many ring objects a dead worker left behind.
//   POSIX  an exclusive flock on the file "<dir>/<ns>-TavrikWorkerLock" (WorkerLockPath), mode
//          0600 and owned by the user, created by the worker and never removed. <dir> is
//          $XDG_RUNTIME_DIR when it names a directory of the user that no one else may write
//          (the session's /run/user/<uid>): no other user can make or hold a file there, and a
//          clean-up of /dev/shm does not touch it. Otherwise <dir> is /dev/shm, where a file of
//          another user is refused rather than taken for a running worker. A client opens the
//          file without creating it and asks for a shared lock without waiting: refused means
//          that a worker runs; a missing file, or a lock granted (and dropped at once), that
//          none does.
//   Win32  the named mutex "Local\TavrikWorkerLock", created and owned by the worker for its life.
//          A client opens it (SYNCHRONIZE) and waits on it for 0 ms: a timeout means a worker is
//          alive; a client that obtained it releases it at once.
// The lock dies with its holder: the kernel drops a dead process's flock and abandons its mutex.
//
// Threads: Acquire and Release on the same thread (the Win32 mutex belongs to the thread that took
// it; the worker uses its main thread). QueryWorkerLiveness from any thread, but on Win32 not from
// the thread that holds the lock: mutexes are recursive, so that thread would find it free.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "base/unique_handle.h"
#include "ipc/producer_lock.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik {

// How long the worker keeps trying for the lock before it concludes that another worker runs:
// long enough to outlast a client's probe, or a worker that is just ending.
inline constexpr std::chrono::milliseconds kWorkerLockPatience{1000};

class WorkerLock {
 public:
  enum class Result {
    kAcquired,
    kTaken,        // another worker holds it
    kUnavailable,  // the lock cannot be used (a namespace that breaks the rule, or the system
                   // refused); Status() says why
  };

  // Takes the lock of the current IPC namespace, trying for up to `patience`. Worker start-up.
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
  kNotRunning,  // the lock is free
  kUnknown,     // the lock cannot be asked; `status` says why
};

// Whether a worker runs in the current IPC namespace. Never creates anything and never waits.
WorkerLiveness QueryWorkerLiveness(OpenStatus* status = nullptr);

// POSIX: the path of the namespace's lock file (see above), or empty when `ns` breaks the
// namespace rule. Reads $XDG_RUNTIME_DIR and looks at that directory; creates nothing.
std::string WorkerLockPath(std::string_view ns);

}  // namespace tavrik
