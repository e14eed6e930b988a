// POSIX backend of template_loader.h: regular files only, never blocking on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_handle.h"
#include "commands/template_loader.h"

namespace tavrik {
namespace {

struct FdTraits {
  using Value = int;
  static constexpr Value Invalid() noexcept { return -1; }
  static void Close(Value fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace

bool ReadTemplateFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (path.empty()) return false;

  // Look before opening, so that devices are never even opened; then check the opened
  // descriptor again in case the entry was swapped in between.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return false;

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
  if (static_cast<unsigned long long>(st.st_size) > kMaxTemplateFileBytes) return false;

  return ReadBounded(
      static_cast<std::size_t>(st.st_size),
      [&fd](unsigned char* into, std::size_t count) -> long long {
        for (;;) {
          const ssize_t n = ::read(fd.Get(), into, count);
          if (n >= 0 || errno != EINTR) return n;
        }
      },
      bytes);
}

}  // namespace tavrik
