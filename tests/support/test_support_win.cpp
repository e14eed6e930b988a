// Windows side of the test helpers. The kernel objects of the rings live in the session's
// "Local\" namespace whatever TAVRIK_IPC_NAMESPACE says, and disappear with their last handle, so
// there is nothing to unlink; the variable is still set so that tests read the same way as on
// POSIX.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

namespace tavrik::test {
namespace {
std::atomic<int> g_counter{0};
}

ScopedIpcNamespace::ScopedIpcNamespace() {
  name_ =
      "tavrik-test-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(g_counter++);
  if (const char* prev = std::getenv("TAVRIK_IPC_NAMESPACE")) {
    previous_ = prev;
    hadPrevious_ = true;
  }
  _putenv_s("TAVRIK_IPC_NAMESPACE", name_.c_str());
}

ScopedIpcNamespace::~ScopedIpcNamespace() {
  // An empty value removes the variable.
  _putenv_s("TAVRIK_IPC_NAMESPACE", hadPrevious_ ? previous_.c_str() : "");
}

void ScopedIpcNamespace::Cleanup() const {}

}  // namespace tavrik::test
