// A private X display with the demo's target window on it, for tests that drive the worker or
// the probe against a real window. Header-only; POSIX tests only.
#pragma once

#include <signal.h>

#include <chrono>
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
  std::string Start(int x, int y, const std::filesystem::path& dir) {
    using namespace std::chrono_literals;
    if (!xvfb_.Start()) return "Xvfb did not start";
    display_.emplace("DISPLAY", xvfb_.DisplayName());
    std::filesystem::create_directories(dir);
    const std::string demo = BuiltExecutable("tavrik-demo");
    if (std::system((demo + " --write-templates " + dir.string()).c_str()) != 0) {
      return "tavrik-demo could not write its templates";
    }
    target_ = SpawnedProcess::Spawn(
        {demo, "--x", std::to_string(x), "--y", std::to_string(y), "--toggle-ms", "0"},
        /*pipeStdout=*/true, /*quiet=*/true);
    if (target_.ReadLine(10s) != std::optional<std::string>("ready")) {
      return "tavrik-demo did not come up";
    }
    return {};
  }

  // Swaps the demo's badge for a different one; true once the new content is on the screen.
  bool SwapBadge() {
    using namespace std::chrono_literals;
    ::kill(target_.Pid(), SIGUSR1);
    return target_.ReadLine(5s) == std::optional<std::string>("swapped");
  }

  void Stop() { target_.Stop(); }

 private:
  XvfbServer xvfb_;
  std::optional<ScopedEnv> display_;
  SpawnedProcess target_;
};

}  // namespace tavrik::test
