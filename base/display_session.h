// What the desktop session allows capture to see.
//
// Window lookup and capture speak X11. In a Wayland session only the applications that run
// through XWayland have X11 windows: a native Wayland window is never found by its process, and
// the X screen shows it black or not at all. Nothing can be done about that from here, but a
// user who wonders why a template never hits must be told once, at start (the worker) or when
// asking (tavrik-ctl status).
//
// Threads: any thread; reads the environment only.
#pragma once

#include <string>

namespace tavrik {

// The sentence that describes the session's limit, without a tag or a final newline; empty when
// WAYLAND_DISPLAY is unset or empty (an X11 session, or no session at all).
std::string WaylandSessionLimit();

}  // namespace tavrik
