// Win32 backend of template_loader.h: disk files only (no pipes, consoles, devices or directories).
#include <windows.h>

#include <algorithm>

#include "base/unique_handle.h"
#include "commands/template_loader.h"
#include "commands/template_path.h"

namespace tavrik {
namespace {

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not as a null handle.
struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Value handle) noexcept { CloseHandle(handle); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

}  // namespace

bool ReadTemplateFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (path.empty()) return false;
  // Refused by name before anything is opened: opening a pipe already connects to its server
  // (through the redirector too: "\\localhost\pipe\x"), opening a serial port may configure it.
  const std::wstring& wide = path.native();
  if (IsWindowsDevicePath(std::u16string(wide.begin(), wide.end()))) return false;
  // Whatever the name leads to after all (a link to a pipe on another machine), the server at the
  // other end may identify the worker but never act as it.
  UniqueFileHandle file(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
      nullptr));
  if (!file.Valid()) return false;  // directories need backup semantics and so fail here too
  // What was opened after all (a link may lead anywhere): only a plain file on a disk.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.Get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > kMaxTemplateFileBytes) {
    return false;
  }
  return ReadBounded(
      static_cast<std::size_t>(size.QuadPart),
      [&file](unsigned char* into, std::size_t count) -> long long {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(file.Get(), into, want, &n, nullptr)) return -1;
        return n;
      },
      bytes);
}

}  // namespace tavrik
