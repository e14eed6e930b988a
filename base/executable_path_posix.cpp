// POSIX backend of executable_path.h: the link /proc/self/exe.
#include <unistd.h>

#include <array>
#include <string>

#include "base/executable_path.h"

namespace tavrik {

std::filesystem::path ExecutableDirectory() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(length)))
      .parent_path();
}

}  // namespace tavrik
