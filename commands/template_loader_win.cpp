// Windows file reading for template images: disk files only (no pipes, consoles or devices).
#include <windows.h>

#include <algorithm>
#include <utility>

#include "commands/template_loader.h"

namespace tavrik {
namespace {

class UniqueFileHandle {
 public:
  explicit UniqueFileHandle(HANDLE h) : h_(h) {}
  UniqueFileHandle(UniqueFileHandle&& other) noexcept
      : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
  UniqueFileHandle& operator=(UniqueFileHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  UniqueFileHandle(const UniqueFileHandle&) = delete;
  UniqueFileHandle& operator=(const UniqueFileHandle&) = delete;
  ~UniqueFileHandle() { Reset(); }

  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

 private:
  void Reset() {
    if (Valid()) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  HANDLE h_;
};

}  // namespace

bool ReadTemplateFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (path.empty()) return false;
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return false;  // directories need backup semantics and so fail here too
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > kMaxTemplateFileBytes) {
    return false;
  }
  bytes.resize(static_cast<std::size_t>(size.QuadPart) + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(file.Get(), bytes.data() + got, want, &n, nullptr)) {
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    got += n;
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
