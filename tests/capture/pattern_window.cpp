// tavrik-pattern-window: a test client that opens top-level windows and paints PatternPixel into
// them, so the capture tests have a known picture under a distinctive process image name.
//
//   tavrik-pattern-window [--x N] [--y N] [--width N] [--height N] [--count N]
//                         [--step-x N] [--step-y N] [--iconic] [--unmapped] [--no-pid]
//
// Window i sits at (x + i * step-x, y + i * step-y); later windows are created above earlier
// ones. --iconic leaves the windows unmapped with WM_STATE Iconic, as a window manager does with a
// minimised window; --unmapped leaves them withdrawn; --no-pid omits _NET_WM_PID. Once every
// mapped window is painted the program prints "ready <id> <id> ..." and then repaints on Expose
// until it is killed or its server goes away.
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/capture/pattern.h"

namespace {

struct Options {
  int x = 100;
  int y = 80;
  int width = 200;
  int height = 150;
  int count = 1;
  int stepX = 0;
  int stepY = 0;
  bool iconic = false;
  bool unmapped = false;
  bool setPid = true;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return true;
    };
    bool ok = true;
    if (arg == "--x")
      ok = number(options.x);
    else if (arg == "--y")
      ok = number(options.y);
    else if (arg == "--width")
      ok = number(options.width);
    else if (arg == "--height")
      ok = number(options.height);
    else if (arg == "--count")
      ok = number(options.count);
    else if (arg == "--step-x")
      ok = number(options.stepX);
    else if (arg == "--step-y")
      ok = number(options.stepY);
    else if (arg == "--iconic")
      options.iconic = true;
    else if (arg == "--unmapped")
      options.unmapped = true;
    else if (arg == "--no-pid")
      options.setPid = false;
    else
      ok = false;
    if (!ok) return false;
  }
  return options.width > 0 && options.height > 0 && options.count > 0;
}

xcb_atom_t InternAtom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

// Paints window `index` in strips that fit the server's request size limit.
void Paint(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, int index,
           const Options& options, std::uint8_t depth) {
  const std::size_t rowBytes = static_cast<std::size_t>(options.width) * 4;
  const std::size_t maxBytes = xcb_get_maximum_request_length(c) * 4 - 64;
  const int rowsPerStrip = static_cast<int>(std::max<std::size_t>(1, maxBytes / rowBytes));
  std::vector<std::uint8_t> strip;
  for (int top = 0; top < options.height; top += rowsPerStrip) {
    const int rows = std::min(rowsPerStrip, options.height - top);
    strip.assign(rowBytes * static_cast<std::size_t>(rows), 0);
    for (int row = 0; row < rows; ++row) {
      for (int col = 0; col < options.width; ++col) {
        const tavrik::test::PatternBgr bgr = tavrik::test::PatternPixel(index, col, top + row);
        std::uint8_t* pixel =
            &strip[static_cast<std::size_t>(row) * rowBytes + static_cast<std::size_t>(col) * 4];
        pixel[0] = bgr.b;
        pixel[1] = bgr.g;
        pixel[2] = bgr.r;
      }
    }
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc,
                  static_cast<std::uint16_t>(options.width), static_cast<std::uint16_t>(rows), 0,
                  static_cast<std::int16_t>(top), 0, depth,
                  static_cast<std::uint32_t>(strip.size()), strip.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "tavrik-pattern-window: bad arguments\n");
    return 2;
  }
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "tavrik-pattern-window: cannot open the display\n");
    return 1;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
  const xcb_screen_t* screen = screens.data;
  if (screen->root_depth != 24 && screen->root_depth != 32) {
    std::fprintf(stderr, "tavrik-pattern-window: needs a 24- or 32-bit screen\n");
    return 1;
  }

  const xcb_atom_t wmState = InternAtom(c, "WM_STATE");
  const xcb_atom_t netWmPid = InternAtom(c, "_NET_WM_PID");
  std::vector<xcb_window_t> windows;
  for (int i = 0; i < options.count; ++i) {
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen->black_pixel,
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root,
                      static_cast<std::int16_t>(options.x + i * options.stepX),
                      static_cast<std::int16_t>(options.y + i * options.stepY),
                      static_cast<std::uint16_t>(options.width),
                      static_cast<std::uint16_t>(options.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    const std::string title = "pattern " + std::to_string(i);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    if (options.setPid) {
      const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, netWmPid, XCB_ATOM_CARDINAL, 32, 1,
                          &pid);
    }
    if (options.iconic) {
      const std::uint32_t state[] = {3, XCB_WINDOW_NONE};  // IconicState, no icon window
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, wmState, wmState, 32, 2, state);
    }
    windows.push_back(window);
  }
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, screen->root, 0, nullptr);

  const bool mapNow = !options.iconic && !options.unmapped;
  std::size_t unpainted = 0;
  if (mapNow) {
    for (xcb_window_t window : windows) xcb_map_window(c, window);
    unpainted = windows.size();
  }
  xcb_flush(c);

  bool announced = false;
  auto announceWhenReady = [&] {
    if (announced || unpainted > 0) return;
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // all painted
    std::string line = "ready";
    for (xcb_window_t window : windows) line += " " + std::to_string(window);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    announced = true;
  };
  announceWhenReady();

  std::vector<bool> painted(windows.size(), false);
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    if ((event->response_type & 0x7f) == XCB_EXPOSE) {
      const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event);
      for (std::size_t i = 0; i < windows.size(); ++i) {
        if (windows[i] != expose->window || expose->count != 0) continue;
        Paint(c, windows[i], gc, static_cast<int>(i), options, screen->root_depth);
        xcb_flush(c);
        if (mapNow && !painted[i]) {
          painted[i] = true;
          --unpainted;
        }
      }
      announceWhenReady();
    }
    std::free(event);
  }
  xcb_disconnect(c);
  return 0;
}
