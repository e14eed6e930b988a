// POSIX file reading for template images: regular files only, never blocking on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "commands/template_loader.h"

namespace tavrik {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

 private:
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

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

  // Read at most one byte more than the size seen, to notice a file that grows past the limit.
  const std::size_t expected = static_cast<std::size_t>(st.st_size);
  bytes.resize(expected + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.Get(), bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == bytes.size() && got <= kMaxTemplateFileBytes) {
      bytes.resize(std::min(got * 2, kMaxTemplateFileBytes + 1));
    }
  }
  if (got > kMaxTemplateFileBytes) {
    bytes.clear();
    return false;
  }
  bytes.resize(got);
  return true;
}

}  // namespace tavrik
