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
// value and unlinks every object of the namespace when destroyed.
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
};

// Polls `condition` until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Reads a whole text file ("" when missing).
std::string ReadFile(const std::string& path);

// Path of a built executable (tavrik-worker, tavrik-ctl, ...) under the build tree; the name is
// given without ".exe" on every system.
std::string BuiltExecutable(const std::string& name);

}  // namespace tavrik::test
