// Helpers shared by the test suites.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tavrik::test {

// Gives the current test its own IPC namespace (TAVRIK_IPC_NAMESPACE) so that rings and events
// created here never meet those of another test or of a running worker. Restores the previous
// value and unlinks every object of the namespace when destroyed. On POSIX it also gives the test a
// private runtime directory (XDG_RUNTIME_DIR, mode 0700, as a session has), where the worker lock
// lives, and removes it with everything in it when destroyed.
// On Windows the rings always live in "Local\" (the variable is ignored there): objects vanish
// with their last handle, so tests that open rings must run one at a time.
class ScopedIpcNamespace {
 public:
  ScopedIpcNamespace();
  ~ScopedIpcNamespace();
  ScopedIpcNamespace(const ScopedIpcNamespace&) = delete;
  ScopedIpcNamespace& operator=(const ScopedIpcNamespace&) = delete;

  const std::string& Name() const { return name_; }
  // Unlinks the namespace's shared-memory objects and semaphores now.
  void Cleanup() const;

 private:
  std::string name_;
  std::string previous_;
  bool hadPrevious_ = false;
  std::string runtimeDir_;
  std::string previousRuntime_;
  bool hadPreviousRuntime_ = false;
};

#ifndef _WIN32
// A process of another local user (uid 65534; the caller must be root) that holds what a stranger
// can take of the namespace `ns`'s worker lock: the abstract socket name "<ns>-TavrikWorkerLock",
// and an flock on a file of its own at /dev/shm/<ns>-TavrikWorkerLock. It also tries to create
// the lock file in `runtimeDir`, and gives up if it can. Killed when destroyed, and when this
// process dies; ScopedIpcNamespace removes its file.
class LockSquatter {
 public:
  LockSquatter(const std::string& ns, const std::string& runtimeDir);
  ~LockSquatter();
  LockSquatter(const LockSquatter&) = delete;
  LockSquatter& operator=(const LockSquatter&) = delete;

  // True once it holds all that; otherwise Why() says what failed.
  bool Holding() const { return pid_ > 0; }
  const std::string& Why() const { return why_; }

 private:
  int pid_ = -1;
  std::string why_;
};
#endif

// Polls `condition` until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Reads a whole text file ("" when missing).
std::string ReadFile(const std::string& path);

// Path of a built executable (tavrik-worker, tavrik-ctl, ...) under the build tree; the name is
// given without ".exe" on every system.
std::string BuiltExecutable(const std::string& name);

}  // namespace tavrik::test
