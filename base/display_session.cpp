#include "base/display_session.h"

#include <cstdlib>

#include "base/line_escape.h"

namespace tavrik {

std::string WaylandSessionLimit() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (display == nullptr || *display == '\0') return {};
  return "Wayland session (WAYLAND_DISPLAY=" + LineSafe(display) +
         "): only X11 windows (XWayland applications) can be found and captured; native Wayland "
         "windows are not found by their process and capture black or empty";
}

}  // namespace tavrik
