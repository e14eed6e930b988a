// POSIX side of the test helpers: IPC namespaces are real, so each test gets its own.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "ipc/ring_layout.h"
#include "tests/support/test_support.h"

namespace tavrik::test {
namespace {
std::atomic<int> g_counter{0};
}

ScopedIpcNamespace::ScopedIpcNamespace() {
  name_ = "tavrik-test-" + std::to_string(::getpid()) + "-" + std::to_string(g_counter++);
  if (const char* prev = std::getenv("TAVRIK_IPC_NAMESPACE")) {
    previous_ = prev;
    hadPrevious_ = true;
  }
  ::setenv("TAVRIK_IPC_NAMESPACE", name_.c_str(), 1);
  if (const char* prev = std::getenv("XDG_RUNTIME_DIR")) {
    previousRuntime_ = prev;
    hadPreviousRuntime_ = true;
  }
  runtimeDir_ = (std::filesystem::temp_directory_path() / (name_ + "-run")).string();
  std::error_code ec;
  std::filesystem::remove_all(runtimeDir_, ec);
  if (::mkdir(runtimeDir_.c_str(), 0700) == 0) ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
  Cleanup();
}

ScopedIpcNamespace::~ScopedIpcNamespace() {
  Cleanup();
  if (hadPrevious_) {
    ::setenv("TAVRIK_IPC_NAMESPACE", previous_.c_str(), 1);
  } else {
    ::unsetenv("TAVRIK_IPC_NAMESPACE");
  }
  if (hadPreviousRuntime_) {
    ::setenv("XDG_RUNTIME_DIR", previousRuntime_.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  std::error_code ec;
  std::filesystem::remove_all(runtimeDir_, ec);
  // The lock file of a test that ran without a runtime directory.
  std::filesystem::remove("/dev/shm/" + name_ + "-" + kWorkerLockName, ec);
}

void ScopedIpcNamespace::Cleanup() const {
  for (const char* object : {kCmdRingMappingName, kHitRingMappingName}) {
    std::error_code ec;
    std::filesystem::remove("/dev/shm/" + name_ + "-" + object, ec);
  }
  for (const char* object : {kCmdRingEventName, kHitRingEventName}) {
    std::error_code ec;
    std::filesystem::remove("/dev/shm/sem." + name_ + "-" + object, ec);
  }
}

LockSquatter::LockSquatter(const std::string& ns, const std::string& runtimeDir) {
  const std::string name = ns + "-" + kWorkerLockName;
  const std::string inRuntime = runtimeDir + "/" + name;
  const std::string inShm = "/dev/shm/" + name;
  int ready[2];
  if (::pipe(ready) != 0) {
    why_ = "pipe failed";
    return;
  }
  const pid_t parent = ::getpid();
  const pid_t squatter = ::fork();
  if (squatter == 0) {
    // It must not keep the test's output open, nor outlive the test.
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(1);
    // After the change of user, which clears it.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) _exit(2);
    if (::open(inRuntime.c_str(), O_RDONLY | O_CREAT, 0644) >= 0) _exit(3);
    const int file = ::open(inShm.c_str(), O_RDONLY | O_CREAT, 0644);
    if (file < 0 || ::flock(file, LOCK_EX) != 0) _exit(4);
    const char ok = 1;
    if (::write(ready[1], &ok, 1) != 1) _exit(5);
    ::pause();
    _exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  const bool holding = squatter > 0 && ::read(ready[0], &ok, 1) == 1;
  ::close(ready[0]);
  if (holding) {
    pid_ = squatter;
    return;
  }
  int status = 0;
  if (squatter > 0) ::waitpid(squatter, &status, 0);
  why_ = "the squatter could not set up (exit " + std::to_string(WEXITSTATUS(status)) +
         "; 3: it could create a file in the runtime directory)";
}

LockSquatter::~LockSquatter() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace tavrik::test
