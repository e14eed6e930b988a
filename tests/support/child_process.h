// Test helper for Windows: child processes started with CreateProcessW, their output captured in
// a file, and scoped environment variables that the children inherit. Used from a test's main
// thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::test {

// A child process; terminated and waited for when destroyed. Move-only.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs `program` (a path, or a bare name found through the system's search path) with
  // `args`, each quoted as one argument, in the current environment. Standard output and
  // standard error go to `outputFile` (appended), or nowhere when it is empty. Not started
  // (Started() false) when the program cannot be run.
  static ChildProcess Start(const std::filesystem::path& program,
                            const std::vector<std::string>& args,
                            const std::filesystem::path& outputFile = {});

  bool Started() const { return process_ != nullptr; }
  bool Running() const;
  std::uint32_t Id() const { return id_; }
  // Waits for the child to end: its exit code, or -1 when it is still running after `timeout` or
  // was never started.
  int Wait(std::chrono::milliseconds timeout);
  // Ends the child at once and waits for it.
  void Terminate();

 private:
  void* process_ = nullptr;  // HANDLE
  std::uint32_t id_ = 0;
};

struct RunResult {
  int exitCode = -1;   // -1 when the program could not run or did not finish in time
  std::string output;  // standard output and standard error together
};

// Runs a program to its end (killing it after `timeout`) and collects its output.
RunResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Sets an environment variable of this process (which children inherit), or removes it when
// `value` is empty, and restores the previous state afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// The directory of this test program's executable.
std::filesystem::path OwnDirectory();

// A fresh, empty directory under the system's temporary directory, removed when destroyed.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& tag);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tavrik::test
