// A private X display with the demo's target window on it, for tests that drive the worker or
// the probe against a real window. Header-only; POSIX tests only.
#pragma once

#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/test_support.h"
#include "tests/support/xvfb_fixture.h"

namespace tavrik::test {

class DemoDesktop {
 public:
  // Starts Xvfb, points DISPLAY at it, writes the demo's template images (badge.png, ring.png)
  // into `dir` and shows the demo window at (x, y) with its content held still. Returns an error
  // text, empty on success.
  // Before Start: the size of the virtual screen (1280x1024 by default).
  void SetScreenSize(int width, int height) { xvfb_.SetScreenSize(width, height); }
  // Before Start: the demo window drawn at `scale` (tavrik-demo --scale).
  void SetTargetScale(const std::string& scale) { scale_ = scale; }

  // Replaces the X resource database of the display (what xrdb -load does), for instance with
  // "Xft.dpi:\t144\n". True once the server has it.
  bool SetResources(const std::string& text) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool connected = xcb_connection_has_error(c) == 0;
    if (connected) {
      const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, XCB_ATOM_RESOURCE_MANAGER,
                          XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(text.size()), text.data());
      std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    xcb_disconnect(c);
    return connected;
  }

  std::string Start(int x, int y, const std::filesystem::path& dir) {
    if (!xvfb_.Start()) return "Xvfb did not start";
    display_.emplace("DISPLAY", xvfb_.DisplayName());
    std::filesystem::create_directories(dir);
    if (std::system(
            (BuiltExecutable("tavrik-demo") + " --write-templates " + dir.string()).c_str()) != 0) {
      return "tavrik-demo could not write its templates";
    }
    x_ = x;
    y_ = y;
    return StartTarget();
  }

  // Ends the X server (and with it the demo window), as a crash or a log-out would.
  void StopServer() {
    target_.Stop();
    xvfb_.Stop();
  }

  // A new X server on the same display (or on `display`, with DISPLAY then pointing at it) with
  // the demo window shown again. Returns an error text, empty on success.
  std::string RestartServer(std::optional<int> display = std::nullopt) {
    const int number = display.value_or(xvfb_.Display());
    StopServer();
    if (!xvfb_.Start(number)) return "Xvfb did not start again on :" + std::to_string(number);
    display_.reset();
    display_.emplace("DISPLAY", xvfb_.DisplayName());
    return StartTarget();
  }

  // Swaps the demo's badge for a different one; true once the new content is on the screen.
  bool SwapBadge() {
    using namespace std::chrono_literals;
    ::kill(target_.Pid(), SIGUSR1);
    return target_.ReadLine(5s) == std::optional<std::string>("swapped");
  }

  // Shows the original badge again after SwapBadge; true once it is on the screen.
  bool RestoreBadge() {
    using namespace std::chrono_literals;
    ::kill(target_.Pid(), SIGUSR1);
    return target_.ReadLine(5s) == std::optional<std::string>("shown");
  }

  pid_t TargetPid() const { return target_.Pid(); }
  pid_t ServerPid() const { return xvfb_.Pid(); }

  void Stop() { target_.Stop(); }

 private:
  std::string StartTarget() {
    using namespace std::chrono_literals;
    target_ =
        SpawnedProcess::Spawn({BuiltExecutable("tavrik-demo"), "--x", std::to_string(x_), "--y",
                               std::to_string(y_), "--toggle-ms", "0", "--scale", scale_},
                              /*pipeStdout=*/true, /*quiet=*/true);
    if (target_.ReadLine(10s) != std::optional<std::string>("ready")) {
      return "tavrik-demo did not come up";
    }
    return {};
  }

  int x_ = 0;
  int y_ = 0;
  std::string scale_ = "1";
  XvfbServer xvfb_;
  std::optional<ScopedEnv> display_;
  SpawnedProcess target_;
};

}  // namespace tavrik::test
