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

// A child process started with extra environment variables; killed (SIGTERM, then SIGKILL) and
// reaped when destroyed unless it has already been waited for.
class ChildProcess {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  bool Running();
  // Exit status (exit code, or 128 + signal), or -1 when it did not end within the timeout.
  int Wait(std::chrono::milliseconds timeout);
  void Terminate();

 private:
  int pid_ = -1;
  int status_ = -1;
};

// Polls `condition` until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Reads a whole text file ("" when missing).
std::string ReadFile(const std::string& path);

// Path of a built executable (tavrik-worker, tavrik-ctl, ...) under the build tree.
std::string BuiltExecutable(const std::string& name);

}  // namespace tavrik::test
