// Win32 backend of executable_path.h (and module_path_win.h): GetModuleFileNameW, grown to fit.
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/executable_path.h"
#include "base/module_path_win.h"

namespace tavrik {

std::wstring ModuleFileName(HMODULE module) {
  // A path that does not fit comes back cut to the buffer's size (length == size): that would be
  // a wrong ancestor, not the executable's directory.
  constexpr DWORD kLongestPath = 32768;
  std::wstring buffer;
  for (DWORD size = MAX_PATH;; size = std::min<DWORD>(size * 2, kLongestPath)) {
    buffer.assign(size, L'\0');
    const DWORD length = ::GetModuleFileNameW(module, buffer.data(), size);
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    if (size == kLongestPath) return {};
  }
}

std::filesystem::path ExecutableDirectory() {
  const std::wstring path = ModuleFileName(nullptr);
  if (path.empty()) return {};
  // parent_path drops the last component and the separators before it and keeps a drive root
  // ("C:\"), both '\' and '/' counting as separators.
  return std::filesystem::path(path).parent_path();
}

}  // namespace tavrik
