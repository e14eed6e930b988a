// The fixture of the whole-worker tests under a private Xvfb: a demo desktop with its target
// window, a worker process started in a namespace of its own, and its rings read and written as a
// UI would (commands published as `tavrik-ctl` publishes them, decisions read back from the hit
// ring).
//
// Threads: a test's own thread; Flicker runs on a thread of its own.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "tests/support/demo_desktop.h"
#include "tests/support/hit_watch.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"

namespace tavrik::test {

constexpr int kTargetX = 100;
constexpr int kTargetY = 60;

// Shows a small window at (x, y) whose colour changes every 20 ms, so that no two captures of a
// region that holds it are alike, until `stop` is requested.
inline void Flicker(std::stop_token stop, int x, int y) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) == 0) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t override = 1;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 64, 64, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_OVERRIDE_REDIRECT, &override);
    xcb_map_window(c, window);
    for (std::uint32_t grey = 0; !stop.stop_requested(); grey = (grey + 1) & 0xff) {
      const std::uint32_t pixel = grey * 0x010101u;
      xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXEL, &pixel);
      xcb_clear_area(c, 0, window, 0, 0, 0, 0);
      xcb_flush(c);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  xcb_disconnect(c);
}

class WorkerDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("tavrik-e2e-" + ns_.Name());
    const std::string error = desktop_.Start(kTargetX, kTargetY, dir_);
    ASSERT_TRUE(error.empty()) << error;
    log_.emplace("TAVRIK_LOG", (dir_ / "worker.log").string());
  }
  void TearDown() override {
    worker_.Stop();
    desktop_.Stop();
    std::filesystem::remove_all(dir_);
  }

  // `stderrFd`, when given, becomes the worker's standard error.
  void StartWorker(int stderrFd = -1) {
    worker_ = SpawnedProcess::Spawn({BuiltExecutable("tavrik-worker")}, false, true, stderrFd);
    ASSERT_TRUE(worker_.Running());
    ASSERT_TRUE(WaitUntil(
        [&] {
          cmd_ = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
          return cmd_.View() != nullptr &&
                 std::filesystem::exists("/dev/shm/" + ns_.Name() + "-HitRingMMF");
        },
        std::chrono::seconds(10)));
    cmdEvent_ = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
    reader_.emplace(
        SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting),
        NamedEvent::Open(kHitRingEventName, OpenMode::kOpenExisting));
    ASSERT_TRUE(reader_->Ready());
  }

  // Publishes a command exactly as `tavrik-ctl ARGS...` would.
  void Send(const std::vector<std::string>& args) {
    const ctl::ParseResult parsed = ctl::ParseCtlArgs(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(PublishCommand(cmd_, cmdEvent_, EncodeCommandSlot(parsed.request.command),
                             std::chrono::steady_clock::now() + std::chrono::seconds(5)),
              PublishResult::kPublished);
  }
  void Add(const std::string& name, const std::string& file, const std::string& roi,
           const std::string& cooldown = "0", const std::string& threshold = "0.9") {
    Send({"add", "--name", name, "--path", (dir_ / file).string(), "--process", "tavrik-demo",
          "--roi", roi, "--threshold", threshold, "--cooldown-ms", cooldown});
  }

  // Reads hit-ring messages into messages_ until `done` holds for one of them.
  std::optional<ReceivedHit> WaitFor(const std::function<bool(const ReceivedHit&)>& done,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitForHit(*reader_, done, timeout, &messages_);
  }
  std::vector<std::string> LogLines(const std::string& prefix) const {
    return LogLinesWithPrefix(dir_ / "worker.log", prefix);
  }
  bool LogHas(const std::string& prefix,
              std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return WaitUntil([&] { return !LogLines(prefix).empty(); }, timeout);
  }
  void SwapBadge() { ASSERT_TRUE(desktop_.SwapBadge()); }
  // Sends SIGTERM and waits for the worker to end: its exit code and the milliseconds it took.
  std::pair<int, std::int64_t> StopTimed() {
    const auto stopAt = std::chrono::steady_clock::now();
    ::kill(worker_.Pid(), SIGTERM);
    const int code = worker_.Wait(std::chrono::seconds(120));
    return {code, std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - stopAt)
                      .count()};
  }

  ScopedIpcNamespace ns_;
  DemoDesktop desktop_;
  std::optional<ScopedEnv> log_;
  std::filesystem::path dir_;
  SpawnedProcess worker_;
  SharedMapping cmd_;
  NamedEvent cmdEvent_;
  std::optional<HitRingReader> reader_;
  std::vector<ReceivedHit> messages_;
};

}  // namespace tavrik::test
