// Test helpers for the X11 display tests: child processes started with fork/exec, a private Xvfb
// server on a free display, and a scoped DISPLAY. Used from the test's main thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::test {

// A child process; sent SIGTERM and reaped when destroyed. Move-only.
class SpawnedProcess {
 public:
  SpawnedProcess() = default;
  ~SpawnedProcess();
  SpawnedProcess(SpawnedProcess&& other) noexcept;
  SpawnedProcess& operator=(SpawnedProcess&& other) noexcept;
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  // Runs argv[0] (searched in PATH) with the current environment. Its stdout is readable through
  // ReadLine when `pipeStdout`; its stderr goes to `stderrFd` when that is given, else to
  // /dev/null when `quiet`. Not started (Running() false) when the program cannot be run.
  static SpawnedProcess Spawn(const std::vector<std::string>& argv, bool pipeStdout, bool quiet,
                              int stderrFd = -1);

  // False once the child has ended (it is reaped here, and its status kept for Wait).
  bool Running();
  pid_t Pid() const { return pid_; }
  // Waits for the child to end: its exit code (128 + signal when killed), or -1 when it is still
  // running after `timeout` or was never started.
  int Wait(std::chrono::milliseconds timeout);

  // The next line the child wrote, without its newline; empty on timeout or end of output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

  // Sends `signal` and waits for the child to end; after 10 s it is killed.
  void Stop(int signal = SIGTERM);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int stdoutFd_ = -1;
  std::string buffered_;
};

// A private Xvfb with one 24-bit screen, 1280x1024 unless SetScreenSize says otherwise.
class XvfbServer {
 public:
  // The size of the screen of the servers started from now on.
  void SetScreenSize(int width, int height) {
    screen_ = std::to_string(width) + "x" + std::to_string(height) + "x24";
  }
  // Starts the server on a free display (or on `display`) and waits until it accepts clients.
  bool Start(std::optional<int> display = std::nullopt);
  // Starts the server on a display far above the ones `-displayfd` hands out, for a test that
  // stops the server and starts its successor on the same number: a low number, once freed, can be
  // taken meanwhile by a server another test starts.
  bool StartOutOfTheWay();
  void Stop();
  bool Running() { return process_.Running(); }
  pid_t Pid() const { return process_.Pid(); }
  int Display() const { return display_; }
  std::string DisplayName() const { return ":" + std::to_string(display_); }

 private:
  SpawnedProcess process_;
  int display_ = -1;
  std::string screen_ = "1280x1024x24";
};

// Sets an environment variable (or removes it when `value` is empty) and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace tavrik::test
