// Finding the target application's window by the image name of its process, and measuring where
// its client area sits on the screen.
//
// Backends: target_window_win.cpp (EnumWindows, ClientToScreen, GetDpiForWindow) and
// target_window_x11.cpp (stacking order from the window manager or the root's children,
// _NET_WM_PID or the X-Resource extension, /proc/<pid>/exe).
//
// Threads: called on the CommandThread. The X11 backend keeps a connection per calling thread,
// opened lazily and reopened after the server goes away; no X error ever ends the process.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/geometry.h"

namespace tavrik {

// The screen position of a window's client-area corner, in pixels; negative left of or above the
// primary monitor.
using WindowOrigin = IntPoint;

// A top-level window as the backend knows it: an HWND on Windows, a client window id on X11.
// 0 means no window.
using NativeWindowId = std::uintptr_t;

// True when the process `pid` runs an image whose file name, normalised, equals `wantedName`
// exactly. A process that cannot be inspected, or whose full image path is longer than
// kMaxImagePathUnits, does not match.
bool ProcessMatchesName(std::uint32_t pid, std::u16string_view wantedName);

// The first visible top-level window, top of the stacking order first, whose process matches
// `normalizedName`; 0 when none does. Visible means shown or minimised, not hidden or withdrawn.
// Nothing is cached: every call enumerates afresh.
NativeWindowId FindTargetWindow(std::u16string_view normalizedName);

enum class WindowLookup {
  kFound,      // origin (and dpi) written
  kNotFound,   // no such window, or an empty name
  kNoDisplay,  // no display could be reached to look on (X11: no server on $DISPLAY)
};

// Finds the first visible top-level window (top of the stacking order first) whose process image
// name, normalised, equals `normalizedName`; restores it when minimised, raises and focuses it,
// waits 50 ms and reads the screen position of its client area. `origin` and `*dpi` are written
// only when kFound is returned; `dpi` may be null. An empty name fails at once. On X11 the
// calling thread's connection is checked with a round trip first, so a server that was restarted
// since the last lookup is reached through a new connection at once.
WindowLookup LookUpTargetWindow(std::u16string_view normalizedName, WindowOrigin& origin,
                                std::int32_t* dpi);

// LookUpTargetWindow, true when the window was found.
inline bool LocateTargetWindow(std::u16string_view normalizedName, WindowOrigin& origin,
                               std::int32_t* dpi) {
  return LookUpTargetWindow(normalizedName, origin, dpi) == WindowLookup::kFound;
}

}  // namespace tavrik
