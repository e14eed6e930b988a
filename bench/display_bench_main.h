// The main of a benchmark program that needs an X display: runs the registered benchmarks on
// $DISPLAY, or on a private Xvfb when none is set, and closes this thread's X session at the end
// so that the server sees a clean disconnect. Call it once, from the main thread.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>

#include "capture/x11_connection.h"
#include "tests/support/xvfb_fixture.h"

namespace tavrik::bench {

inline int RunBenchmarksOnADisplay(int argc, char** argv) {
  test::XvfbServer server;
  std::optional<test::ScopedEnv> display;
  if (std::getenv("DISPLAY") == nullptr) {
    if (!server.Start()) return 1;
    display.emplace("DISPLAY", server.DisplayName());
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  x11::CloseThreadSession();
  return 0;
}

}  // namespace tavrik::bench
