// Win32 backend of process_env.h: GetModuleFileNameW, DPI awareness and the console window.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "worker/process_env.h"

namespace tavrik {

std::filesystem::path ExecutableDirectory() {
  // A path that does not fit comes back cut to the buffer's size (length == size): that would be
  // a wrong ancestor, not the executable's directory. Grow the buffer until the path fits, up to
  // the longest path the system has.
  constexpr DWORD kLongestPath = 32768;
  std::wstring buffer;
  for (DWORD size = MAX_PATH;; size = std::min<DWORD>(size * 2, kLongestPath)) {
    buffer.assign(size, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      break;
    }
    if (size == kLongestPath) return {};
  }
  // parent_path drops the last component and the separators before it and keeps a drive root
  // ("C:\"), both '\' and '/' counting as separators.
  return std::filesystem::path(buffer).parent_path();
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
