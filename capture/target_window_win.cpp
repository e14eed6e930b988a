// Win32 backend of target_window.h: EnumWindows, ClientToScreen and GetDpiForWindow.
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/unique_handle.h"
#include "capture/image_name.h"
#include "capture/target_window.h"

namespace tavrik {
namespace {

constexpr DWORD kImagePathBufferUnits = 260;

// The record handed through EnumWindows.
struct WindowSearch {
  std::u16string wantedName;
  HWND foundWindow = nullptr;
};

// OpenProcess reports failure as a null handle.
struct ProcessHandleTraits {
  using Value = HANDLE;
  static constexpr Value Invalid() noexcept { return nullptr; }
  static void Close(Value handle) noexcept { CloseHandle(handle); }
};
using ProcessHandle = UniqueHandle<ProcessHandleTraits>;

BOOL CALLBACK EnumTargetWindowProc(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  if (!IsWindowVisible(window)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (ProcessMatchesName(pid, search->wantedName)) {
    search->foundWindow = window;
    return FALSE;
  }
  return TRUE;
}

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

// Looked up once per process; null on systems whose user32 predates the function.
GetDpiForWindowFn CachedGetDpiForWindow() {
  static const GetDpiForWindowFn function = []() -> GetDpiForWindowFn {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return nullptr;
    return reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "GetDpiForWindow")));
  }();
  return function;
}

// LOGPIXELSX of the device context of `window` (the screen when null); 0 when unavailable.
int LogPixelsX(HWND window) {
  const HDC dc = GetDC(window);
  if (dc == nullptr) return 0;
  const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(window, dc);
  return dpi;
}

std::int32_t WindowDpi(HWND window) {
  if (const GetDpiForWindowFn getDpiForWindow = CachedGetDpiForWindow()) {
    return static_cast<std::int32_t>(getDpiForWindow(window));  // 0 included, no fallback
  }
  if (const int dpi = LogPixelsX(window); dpi != 0) return dpi;
  if (const int dpi = LogPixelsX(nullptr); dpi != 0) return dpi;
  return kDefaultDpi;
}

void SleepOnSteadyClock(std::chrono::milliseconds interval) {
  const auto until = std::chrono::steady_clock::now() + interval;
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

}  // namespace

bool ProcessMatchesName(std::uint32_t pid, std::u16string_view wantedName) {
  const ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (process.Get() == nullptr) return false;
  wchar_t path[kImagePathBufferUnits];
  DWORD size = kImagePathBufferUnits;
  if (!QueryFullProcessImageNameW(process.Get(), 0, path, &size)) return false;
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  const std::u16string fullPath(reinterpret_cast<const char16_t*>(path), size);
  return ImagePathMatches(fullPath, wantedName);
}

NativeWindowId FindTargetWindow(std::u16string_view normalizedName) {
  WindowSearch search{std::u16string(normalizedName), nullptr};
  // EnumWindows reports failure when the callback stops it early; its result says nothing.
  EnumWindows(EnumTargetWindowProc, reinterpret_cast<LPARAM>(&search));
  return reinterpret_cast<NativeWindowId>(search.foundWindow);
}

WindowLookup LookUpTargetWindow(std::u16string_view normalizedName, WindowOrigin& origin,
                                std::int32_t* dpi) {
  // The desktop is always there to look on: a failure is always "not found".
  if (normalizedName.empty()) return WindowLookup::kNotFound;
  const HWND window = reinterpret_cast<HWND>(FindTargetWindow(normalizedName));
  if (window == nullptr) return WindowLookup::kNotFound;
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
  // Let the window finish restoring and moving before it is measured.
  SleepOnSteadyClock(std::chrono::milliseconds(50));
  POINT corner{0, 0};
  if (!ClientToScreen(window, &corner)) return WindowLookup::kNotFound;
  origin = WindowOrigin{static_cast<std::int32_t>(corner.x), static_cast<std::int32_t>(corner.y)};
  if (dpi != nullptr) *dpi = WindowDpi(window);
  return WindowLookup::kFound;
}

}  // namespace tavrik
