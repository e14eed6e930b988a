// Win32 backend of executable_path.h: GetModuleFileNameW.
#include <windows.h>

#include "base/executable_path.h"

namespace tavrik {

std::filesystem::path ExecutableDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length == 0) return {};
  // parent_path drops the last component and the separators before it and keeps a drive root
  // ("C:\"), both '\' and '/' counting as separators.
  return std::filesystem::path(std::wstring(buffer, length)).parent_path();
}

}  // namespace tavrik
