// POSIX side of the test helpers: IPC namespaces are real, so each test gets its own.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
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
  Cleanup();
}

ScopedIpcNamespace::~ScopedIpcNamespace() {
  Cleanup();
  if (hadPrevious_) {
    ::setenv("TAVRIK_IPC_NAMESPACE", previous_.c_str(), 1);
  } else {
    ::unsetenv("TAVRIK_IPC_NAMESPACE");
  }
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

}  // namespace tavrik::test
