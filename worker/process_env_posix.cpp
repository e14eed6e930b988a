// POSIX backend of process_env.h: /proc/self/exe; DPI awareness and the console do not apply.
#include <unistd.h>

#include <array>

#include "worker/process_env.h"

namespace tavrik {

std::filesystem::path ExecutableDirectory() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(length)))
      .parent_path();
}

void DeclareDpiAwareness() {}

void HideConsoleWindow() {}

}  // namespace tavrik
