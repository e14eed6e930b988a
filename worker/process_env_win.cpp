// Win32 backend of process_env.h: DPI awareness and the console window.
#include <windows.h>

#include <mutex>

#include "worker/process_env.h"

namespace tavrik {

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
