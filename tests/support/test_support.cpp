#include "tests/support/test_support.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "shell/ring_layout.h"

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

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string BuiltExecutable(const std::string& name) {
  const char* dir = std::getenv("TAVRIK_BUILD_DIR");
  if (dir == nullptr) throw std::runtime_error("TAVRIK_BUILD_DIR is not set");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().filename() == name) return entry.path().string();
  }
  throw std::runtime_error(name + " not found under " + dir);
}

}  // namespace tavrik::test
