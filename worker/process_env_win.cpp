// Win32 backend of process_env.h: GetModuleFileNameW, DPI awareness and the console window.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "worker/module_path_win.h"
#include "worker/process_env.h"

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

void DeclareDpiAwareness() {
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  using SetAwareFn = BOOL(WINAPI*)();
  // Looked up once: the optional entry points exist only on newer systems.
  static const SetContextFn setContext = [] {
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 == nullptr ? nullptr
                             : reinterpret_cast<SetContextFn>(reinterpret_cast<void*>(
                                   ::GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  }();
  if (setContext != nullptr) {
    setContext(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4)));  // PER_MONITOR_AWARE_V2
    return;
  }
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return;
  const auto setAware = reinterpret_cast<SetAwareFn>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "SetProcessDPIAware")));
  if (setAware != nullptr) setAware();
}

void HideConsoleWindow() {
  if (HWND console = ::GetConsoleWindow(); console != nullptr) ::ShowWindow(console, SW_HIDE);
}

}  // namespace tavrik
