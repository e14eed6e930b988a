// The whole worker under a private Xvfb: a real target window, the real rings, and decisions
// read back as a UI would read them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "capture/screen_capture.h"
#include "detect/detection_loop.h"
#include "detect/match_budget.h"
#include "match/match_cache.h"
#include "detect/pixel_budget.h"
#include "ipc/command_ring.h"
#include "tests/support/demo_desktop.h"
#include "tests/support/hit_watch.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_run.h"
#include "tools/ctl/probe_pictures.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;

constexpr int kTargetX = 100;
constexpr int kTargetY = 60;

using Message = test::ReceivedHit;

// Shows a small window at (x, y) whose colour changes every 20 ms, so that no two captures of a
// region that holds it are alike, until `stop` is requested.
void Flicker(std::stop_token stop, int x, int y) {
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
      std::this_thread::sleep_for(20ms);
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
    worker_ = test::SpawnedProcess::Spawn({test::BuiltExecutable("tavrik-worker")}, false, true,
                                          stderrFd);
    ASSERT_TRUE(worker_.Running());
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          cmd_ = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
          return cmd_.View() != nullptr &&
                 std::filesystem::exists("/dev/shm/" + ns_.Name() + "-HitRingMMF");
        },
        10s));
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
                             std::chrono::steady_clock::now() + 5s),
              PublishResult::kPublished);
  }
  void Add(const std::string& name, const std::string& file, const std::string& roi,
           const std::string& cooldown = "0", const std::string& threshold = "0.9") {
    Send({"add", "--name", name, "--path", (dir_ / file).string(), "--process", "tavrik-demo",
          "--roi", roi, "--threshold", threshold, "--cooldown-ms", cooldown});
  }

  // Reads hit-ring messages into messages_ until `done` holds for one of them.
  std::optional<Message> WaitFor(const std::function<bool(const Message&)>& done,
                                 std::chrono::milliseconds timeout = 10s) {
    return test::WaitForHit(*reader_, done, timeout, &messages_);
  }
  std::vector<std::string> LogLines(const std::string& prefix) const {
    return test::LogLinesWithPrefix(dir_ / "worker.log", prefix);
  }
  bool LogHas(const std::string& prefix, std::chrono::milliseconds timeout = 10s) const {
    return test::WaitUntil([&] { return !LogLines(prefix).empty(); }, timeout);
  }
  void SwapBadge() { ASSERT_TRUE(desktop_.SwapBadge()); }
  // Sends SIGTERM and waits for the worker to end: its exit code and the milliseconds it took.
  std::pair<int, std::int64_t> StopTimed() {
    const auto stopAt = std::chrono::steady_clock::now();
    ::kill(worker_.Pid(), SIGTERM);
    const int code = worker_.Wait(120s);
    return {code, std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - stopAt)
                      .count()};
  }

  test::ScopedIpcNamespace ns_;
  test::DemoDesktop desktop_;
  std::optional<test::ScopedEnv> log_;
  std::filesystem::path dir_;
  test::SpawnedProcess worker_;
  SharedMapping cmd_;
  NamedEvent cmdEvent_;
  std::optional<HitRingReader> reader_;
  std::vector<Message> messages_;
};

TEST_F(WorkerDisplayTest, CutTemplateHitsWhereItIsAndMissesOnceTheContentChanges) {
  StartWorker();
  Add("badge:ok", "badge.png", "0,0,480,320");
  const auto hit = WaitFor([](const Message& m) { return m.name == "badge"; });
  ASSERT_TRUE(hit);
  EXPECT_TRUE(hit->hit);
  EXPECT_EQ(hit->x, 300);  // relative to the client area
  EXPECT_EQ(hit->y, 200);
  EXPECT_EQ(hit->w, 480);
  EXPECT_EQ(hit->h, 320);
  EXPECT_GT(hit->score, 0.99f);
  EXPECT_TRUE(LogHas("[Spec] Window origin cached for 'tavrik-demo' at (100,60)"));
  EXPECT_TRUE(LogHas("[Spec] Registered 'badge:ok' ROI=0,0 480x320 threshold=0.9"));
  ASSERT_TRUE(LogHas("[HIT] badge:ok score="));  // the log is written by a thread of its own
  const auto hits = LogLines("[HIT] badge:ok score=");
  EXPECT_NE(hits[0].find(" pos=(300,200) abs=(400,260) roi=(100,60,480x320) "), std::string::npos)
      << hits[0];

  SwapBadge();
  const auto miss = WaitFor([](const Message& m) { return m.name == "badge" && !m.hit; });
  ASSERT_TRUE(miss);
  EXPECT_LT(miss->score, 0.9f);
  EXPECT_TRUE(LogHas("[MISS] badge:ok score="));
  EXPECT_NE(LogLines("[MISS] badge:ok")[0].find(" reason=score<threshold minAdj=0 threshold=0.9 "),
            std::string::npos);
}

// A display at 144 DPI (Xft.dpi) with the demo window drawn at 1.5x: a template cut from the 1x
// scene and named @1x is resized at add and hits where the scaled picture lies; the same file
// without the suffix is used as cut and misses.
class WorkerScaledDisplayTest : public WorkerDisplayTest {
 protected:
  void SetUp() override {
    desktop_.SetTargetScale("1.5");
    WorkerDisplayTest::SetUp();
  }
};

TEST_F(WorkerScaledDisplayTest, ATemplateCutAt1xAndNamedSoHitsOnAWindowDrawnAt1_5x) {
  ASSERT_TRUE(desktop_.SetResources("Xft.dpi:\t144\n"));
  const cv::Mat scene = cv::imread((dir_ / "scene.png").string());
  ASSERT_FALSE(scene.empty());
  const cv::Mat cut = scene(cv::Rect(292, 192, 88, 64));  // the badge with a margin around it
  ASSERT_TRUE(cv::imwrite((dir_ / "badge@1x.png").string(), cut));
  ASSERT_TRUE(cv::imwrite((dir_ / "badge.png").string(), cut));
  StartWorker();
  Add("scaled", "badge@1x.png", "0,0,720,480");
  Add("plain", "badge.png", "0,0,720,480");
  std::map<std::string, Message> first;
  ASSERT_TRUE(WaitFor([&](const Message& m) {
    first.emplace(m.name, m);
    return first.size() == 2;
  }));
  EXPECT_TRUE(first["scaled"].hit) << first["scaled"].score;
  EXPECT_EQ(first["scaled"].x, 438);  // 1.5 x (292, 192), in the client area
  EXPECT_EQ(first["scaled"].y, 288);
  EXPECT_FALSE(first["plain"].hit) << first["plain"].score;
  EXPECT_TRUE(LogHas("[Spec] Scaled template 'scaled' from 1x to 1.5x (window 144 dpi)"));
  EXPECT_TRUE(LogHas("[Spec] Registered 'scaled' ROI=0,0 720x480 threshold=0.9"));
  const std::vector<std::string> plain = LogLines("[Spec] ");
  EXPECT_EQ(
      std::count_if(plain.begin(), plain.end(),
                    [](const std::string& l) { return l.find("'plain'") != std::string::npos; }),
      1)  // only its registration: no scaling line
      << ::testing::PrintToString(plain);
}

TEST_F(WorkerDisplayTest, AWaylandSessionIsSaidOnceAtStartAndChangesNoDecision) {
  const std::string said = "[Init] Wayland session (WAYLAND_DISPLAY=wayland-1): only X11 windows";
  for (const std::optional<std::string>& wayland : {std::optional<std::string>("wayland-1"),
                                                   std::optional<std::string>()}) {
    SCOPED_TRACE(wayland.value_or("no WAYLAND_DISPLAY"));
    std::filesystem::remove(dir_ / "worker.log");
    const test::ScopedEnv session("WAYLAND_DISPLAY", wayland);
    StartWorker();
    Add("badge:ok", "badge.png", "0,0,480,320");
    const auto hit = WaitFor([](const Message& m) { return m.name == "badge" && m.hit; });
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->x, 300);
    EXPECT_EQ(hit->y, 200);
    ASSERT_TRUE(LogHas("[HIT] badge:ok score="));
    EXPECT_EQ(LogLines(said).size(), wayland ? 1u : 0u);
    worker_.Stop();
    reader_.reset();
    messages_.clear();
  }
}

TEST_F(WorkerDisplayTest, EveryKindDecidesOnRealCaptures) {
  StartWorker();
  Add("t1:ring", "ring.png", "0,0,240,200");
  Add("T2:badge", "badge.png", "200,150,280,170");
  Add("t3:ring", "ring.png", "0,0,240,200");
  std::set<std::string> seen;
  ASSERT_TRUE(WaitFor([&](const Message& m) {
    if (m.hit) seen.insert(m.name);
    return seen.size() == 3;
  }));
  for (const Message& m : messages_) {
    if (m.name == "t1" || m.name == "t3") {
      EXPECT_EQ(m.x, 60);
      EXPECT_EQ(m.y, 50);
    }
    if (m.name == "T2") {
      EXPECT_EQ(m.x, 300);
      EXPECT_EQ(m.y, 200);
    }
  }
  EXPECT_TRUE(LogHas("[Spec] Registered 'T2:badge' ROI=200,150 280x170 threshold=0.97"));
  SwapBadge();
  ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "T2" && !m.hit; }));
  // The ring is untouched by the swap: both ring templates keep hitting afterwards.
  messages_.clear();
  std::set<std::string> after;
  ASSERT_TRUE(WaitFor([&](const Message& m) {
    if (m.hit) after.insert(m.name);
    return after.count("t1") && after.count("t3");
  }));
}

// What a new user tries first: xlogo on the black root window, an exact crop of its logo as a
// masked colour template, and a region that also holds black desktop larger than the template.
// Black windows have no energy and carry no evidence: the crop hits at its client position
// through the worker, the probe and the probe's heat map alike; a template that is not on the
// screen misses.
TEST_F(WorkerDisplayTest, AnExactCropOfXlogoHitsBesideTheBlackDesktopAndAnAbsentOneMisses) {
  test::SpawnedProcess logo = test::SpawnedProcess::Spawn({"xlogo", "-geometry", "300x300+800+500"},
                                                          /*pipeStdout=*/false, /*quiet=*/true);
  ASSERT_TRUE(logo.Running()) << "xlogo (Debian: x11-apps) is needed";
  // Drawn once two reads in a row agree and show something.
  cv::Mat previous;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        const cv::Mat now = CaptureScreenRegion(800, 500, 300, 300);
        const bool drawn = !now.empty() && cv::countNonZero(now.reshape(1)) > 0 &&
                           !previous.empty() && cv::norm(now, previous, cv::NORM_INF) == 0;
        previous = now;
        return drawn;
      },
      10s));
  StartWorker();
  const auto addToLogo = [&](const std::string& name, const std::string& file) {
    Send({"add", "--name", name, "--path", (dir_ / file).string(), "--process", "xlogo", "--roi",
          "-100,-100,400,400", "--threshold", "0.97", "--cooldown-ms", "0"});
  };
  // The client area's corner, as the worker finds it.
  addToLogo("t2:absent", "badge.png");
  ASSERT_TRUE(LogHas("[Spec] Window origin cached for 'xlogo' at ("));
  int ox = 0;
  int oy = 0;
  ASSERT_EQ(std::sscanf(LogLines("[Spec] Window origin cached for 'xlogo' at (")[0].c_str(),
                        "[Spec] Window origin cached for 'xlogo' at (%d,%d)", &ox, &oy),
            2);
  const cv::Mat scene = CaptureScreenRegion(ox - 100, oy - 100, 400, 400);
  ASSERT_FALSE(scene.empty());
  ASSERT_EQ(cv::countNonZero(scene(cv::Rect(0, 0, 400, 90)).reshape(1)), 0) << "no black band";
  ASSERT_TRUE(cv::imwrite((dir_ / "scene.png").string(), scene));
  ASSERT_TRUE(cv::imwrite((dir_ / "crop.png").string(), scene(cv::Rect(210, 210, 80, 80))));
  addToLogo("t2:logo", "crop.png");

  std::optional<Message> hit;
  std::optional<Message> absent;
  ASSERT_TRUE(WaitFor([&](const Message& m) {
    if (m.name == "t2" && m.w == 400 && m.x == 110 && m.y == 110) hit = m;
    if (m.name == "t2" && !m.hit) absent = m;
    return hit && absent;
  }));
  EXPECT_TRUE(hit->hit);
  EXPECT_GT(hit->score, 0.97f);
  EXPECT_LT(absent->score, 0.97f);
  ASSERT_TRUE(LogHas("[HIT] t2:logo score="));
  EXPECT_NE(LogLines("[HIT] t2:logo score=")[0].find(" pos=(110,110) "), std::string::npos);
  for (const std::string& line : LogLines("[")) {
    EXPECT_EQ(line.find("nan"), std::string::npos) << line;
    EXPECT_EQ(line.find("inf"), std::string::npos) << line;
  }

  // The probe on the same pixels: text, JSON and heat map agree with the worker.
  const std::string heat = (dir_ / "heat.png").string();
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(ctl::RunCtl({"probe", "--name", "t2:logo", "--template", (dir_ / "crop.png").string(),
                         "--image", (dir_ / "scene.png").string(), "--heatmap", heat},
                        out, err),
            0)
      << err.str();
  EXPECT_NE(out.str().find("decision=HIT"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("matchLoc=(210,210)"), std::string::npos) << out.str();
  std::ostringstream json;
  ASSERT_EQ(ctl::RunCtl({"probe", "--name", "t2:logo", "--template", (dir_ / "crop.png").string(),
                         "--image", (dir_ / "scene.png").string(), "--json"},
                        json, err),
            0);
  EXPECT_NE(json.str().find("\"decision\":\"HIT\""), std::string::npos) << json.str();
  const cv::Mat picture = cv::imread(heat, cv::IMREAD_COLOR);
  ASSERT_FALSE(picture.empty());
  const cv::Point centre =
      ctl::HeatmapCentreOf(cv::Size(400 - 80 + 1, 400 - 80 + 1), cv::Point(210, 210));
  EXPECT_EQ(picture.at<cv::Vec3b>(centre), cv::Vec3b(255, 255, 255)) << centre;
}

TEST_F(WorkerDisplayTest, CooldownSpacesDecisions) {
  StartWorker();
  Add("slow", "ring.png", "0,0,240,200", "1000");
  // The cooldown runs from the start of the pass that decided, a stamp is taken when the decision
  // is published: a first evaluation that builds its buffers would shorten the first interval by
  // its own length. The intervals are measured from the second decision on.
  std::vector<std::int64_t> stamps;
  ASSERT_TRUE(WaitFor(
      [&](const Message& m) {
        if (m.name == "slow") stamps.push_back(m.timestampMs);
        return stamps.size() == 4;
      },
      15s));
  for (std::size_t i = 2; i < stamps.size(); ++i) {
    // Passes are 50 ms apart when nothing holds them back, so a lost cooldown shows as ~50 ms;
    // the margin is for two evaluations of different length and for wall against steady clock.
    EXPECT_GE(stamps[i] - stamps[i - 1], 950) << i;
  }
}

TEST_F(WorkerDisplayTest, ImpossibleRegionsAreRefusedOrCaptureFailuresNotCrashes) {
  StartWorker();
  Add("huge", "ring.png", "0,0,100000,100000");
  Add("wide", "ring.png", "0,0,1281,10");
  Add("far", "ring.png", "2147483600,0,64,64");
  EXPECT_TRUE(LogHas(
      "[Spec] Refused template 'huge': region 100000x100000 is larger than the screen 1280x1024"));
  EXPECT_TRUE(
      LogHas("[Spec] Refused template 'wide': region 1281x10 is larger than the screen 1280x1024"));
  EXPECT_TRUE(LogHas("[MISS] far reason=captureFailed"));
  EXPECT_TRUE(LogLines("[Spec] Registered 'huge'").empty());
  EXPECT_TRUE(LogLines("[MISS] huge").empty());
  Add("ok", "ring.png", "0,0,240,200");
  ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "ok"; }));
  for (const Message& m : messages_) {
    EXPECT_NE(m.name, "huge");
    EXPECT_NE(m.name, "far");
  }
  EXPECT_TRUE(worker_.Running());
}

TEST_F(WorkerDisplayTest, AfterAnXServerRestartTheFirstAddFindsTheWindow) {
  StartWorker();
  Add("before", "ring.png", "0,0,240,200");
  ASSERT_TRUE(LogHas("[Spec] Registered 'before'"));
  ASSERT_EQ(LogLines("[Spec] Window origin cached for 'tavrik-demo'").size(), 1u);

  // Nothing touches the lookup's connection while the server is replaced.
  const std::string error = desktop_.RestartServer();
  ASSERT_TRUE(error.empty()) << error;
  Add("after", "ring.png", "0,0,240,200");
  ASSERT_TRUE(LogHas("[Spec] Registered 'after'"));
  // The line right before the registration: the window was found through a new connection.
  std::vector<std::string> spec = LogLines("[Spec] ");
  ASSERT_GE(spec.size(), 2u);
  EXPECT_EQ(spec[spec.size() - 2], "[Spec] Window origin cached for 'tavrik-demo' at (100,60)");
  // The detection reconnects as well: the new window is captured and found.
  ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "after" && m.hit; }));

  // With no server at all the lookup says so, and the template is registered all the same.
  desktop_.StopServer();
  Add("down", "ring.png", "0,0,240,200");
  ASSERT_TRUE(LogHas("[Spec] Registered 'down'"));
  spec = LogLines("[Spec] ");
  EXPECT_EQ(spec[spec.size() - 2], "[Spec] Window lookup for 'tavrik-demo' found no display");
  EXPECT_TRUE(worker_.Running());
}

TEST_F(WorkerDisplayTest, TemplateSetLinesOncePerChangeAndIdleHeartbeats) {
  StartWorker();
  // Nothing registered: IDLE heartbeats, 5 s apart.
  std::vector<std::int64_t> idle;
  ASSERT_TRUE(WaitFor(
      [&](const Message& m) {
        if (m.name == "__hb__:IDLE") idle.push_back(m.timestampMs);
        return idle.size() == 2;
      },
      15s));
  EXPECT_GE(idle[1] - idle[0], 4995);

  Add("a", "ring.png", "0,0,240,200");
  // A pass sees "a" alone before "b" comes, however slowly the machine runs.
  ASSERT_TRUE(LogHas("[Loop] templates=1 [a]"));
  Add("b", "ring.png", "0,0,240,200");
  ASSERT_TRUE(LogHas("[Loop] templates=2 [a,b]"));
  Add("a", "ring.png", "0,0,240,200");  // replaced: same set of names
  ASSERT_TRUE(LogHas("[Spec] Overwriting existing template 'a'"));
  Send({"remove", "b"});
  ASSERT_TRUE(LogHas("[Spec] Removed 'b'"));
  Send({"clear"});
  ASSERT_TRUE(LogHas("[Loop] templates=0"));
  const auto lines = LogLines("[Loop] templates=");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "[Loop] templates=0");
  // Each distinct set appears once in a row, never twice in succession.
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_NE(lines[i], lines[i - 1]);
  EXPECT_EQ(lines.front(), "[Loop] templates=1 [a]");
}

// Twenty-four masked colour templates on regions as large as the screen, in which a window
// flickers (so that no evaluation can be reused), make a pass of seconds. A stop request in the
// middle of one waits for the evaluation in progress, not for the rest of the pass: within 1.5 s
// on an idle machine. On a busy one an evaluation takes longer, so the bound is also a quarter
// of a pass (three evaluations' worth), whichever is larger; waiting for the pass to end takes
// two thirds of one. A faster machine gets more templates, up to a bound, until a pass is long
// enough to tell the two apart.
TEST_F(WorkerDisplayTest, SigtermInTheMiddleOfALongPassEndsTheWorkerAfterTheCurrentTemplate) {
  StartWorker();
  constexpr std::int64_t kLongPassMs = 1500;
  constexpr int kMostTemplates = 192;
  int templates = 0;
  std::jthread flicker(Flicker, 700, 500);
  // A pass publishes its decisions together at its end, and the next one comes 50 ms later at
  // the soonest: the last of a burst ends a pass.
  const auto endOfPass = [&] {
    std::size_t burst = 0;
    WaitFor([&](const Message&) { return ++burst == 1; }, 120s);
    while (burst < static_cast<std::size_t>(templates) &&
           WaitFor([&](const Message&) { return ++burst > 0; }, 40ms)) {
    }
    return burst == static_cast<std::size_t>(templates) ? messages_.back().timestampMs : -1;
  };
  std::int64_t passMs = 0;
  for (int more = 24; passMs < kLongPassMs && templates < kMostTemplates; more = templates) {
    for (int i = templates; i < templates + more; ++i) {
      Add("t2:full" + std::to_string(i), "badge.png", "0,0,1180,964");
    }
    templates += more;
    ASSERT_TRUE(LogHas("[Loop] templates=" + std::to_string(templates) + " ", 60s));
    reader_->DiscardPending();  // a pass that began before the last add may be reporting
    // Two pass ends in a row; a burst cut by a stall of the loaded machine spoils a try.
    std::int64_t first = -1;
    std::int64_t second = -1;
    for (int attempt = 0; attempt < 3 && second < 0; ++attempt) {
      first = endOfPass();
      if (first >= 0) second = endOfPass();
    }
    ASSERT_GE(first, 0) << "no pass with all the templates";
    ASSERT_GE(second, 0);
    passMs = second - first;
  }
  if (passMs < kLongPassMs) {
    GTEST_SKIP() << "a pass of " << templates << " templates takes " << passMs
                 << " ms: too short to tell a prompt stop from a finished one";
  }

  // A third of the way into the next pass's evaluations.
  std::this_thread::sleep_for(std::chrono::milliseconds(passMs / 3));
  messages_.clear();
  const auto [code, tookMs] = StopTimed();
  RecordProperty("pass_ms", std::to_string(passMs));
  RecordProperty("stop_ms", std::to_string(tookMs));
  EXPECT_EQ(code, 0);
  EXPECT_LT(tookMs, std::max<std::int64_t>(1500, passMs / 4)) << "a pass takes " << passMs << " ms";
  // The interrupted pass reports the decisions it made, each whole, and none for the rest.
  WaitFor([](const Message&) { return false; }, 200ms);
  EXPECT_LT(messages_.size(), static_cast<std::size_t>(templates));
  for (const Message& m : messages_) {
    EXPECT_EQ(m.name, "t2");
    EXPECT_EQ(m.w, 1180);
  }
  EXPECT_TRUE(LogHas("[Init] Stopped.", 1s));
}

TEST_F(WorkerDisplayTest, AStandardErrorNobodyReadsNeverHoldsUpDecisions) {
  // The log goes to a pipe that nobody reads, shrunk to one page so that a few lines fill it.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const int unread = pipeFds[0];
  ASSERT_GT(::fcntl(unread, F_SETPIPE_SZ, 4096), 0);
  log_.emplace("TAVRIK_LOG", "stderr");
  StartWorker(pipeFds[1]);
  ::close(pipeFds[1]);
  Add("badge:ok", "badge.png", "0,0,480,320");  // cooldown 0: a decision, and a line, every pass
  ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "badge"; }));

  // Full once its content stops growing while the worker keeps composing lines. The hit ring is
  // read meanwhile, so that only decisions made from then on are counted below.
  int queued = -1;
  int stableFor = 0;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        reader_->DiscardPending();
        int now = 0;
        ::ioctl(unread, FIONREAD, &now);
        stableFor = now == queued ? stableFor + 1 : 0;
        queued = now;
        std::this_thread::sleep_for(10ms);
        return now > 0 && stableFor >= 50;
      },
      30s));
  const std::int64_t stuckSinceMs = WallClockMs();

  // Decisions keep arriving, 20 a second, while the pipe stays full.
  int decisions = 0;
  WaitFor(
      [&](const Message& m) {
        decisions += m.name == "badge" && m.timestampMs > stuckSinceMs ? 1 : 0;
        return false;
      },
      2s);
  EXPECT_GE(decisions, 10);
  int stillQueued = 0;
  ::ioctl(unread, FIONREAD, &stillQueued);
  EXPECT_EQ(stillQueued, queued);  // nothing was written meanwhile: the pipe really was stuck

  // Once somebody reads the pipe, the lines composed meanwhile (held in the worker's bounded
  // queue; what did not fit would be counted) follow what the pipe held.
  std::string text;
  const auto lines = [&] { return std::count(text.begin(), text.end(), '\n'); };
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        pollfd p{unread, POLLIN, 0};
        char buffer[4096];
        if (::poll(&p, 1, 50) > 0) {
          const ssize_t n = ::read(unread, buffer, sizeof buffer);
          if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        }
        return text.size() > static_cast<std::size_t>(queued) && lines() >= decisions + 10;
      },
      10s))
      << text.size() << " bytes";
  EXPECT_TRUE(worker_.Running());
  ::close(unread);
}

// With the DAMAGE extension the worker reads a still rectangle only once and decides from what it
// remembers; TAVRIK_DAMAGE=0 (for tests only) makes it read and compare every pass instead. Either
// way a change of the pixels must change the very next decisions, however long the screen was
// still before.
class WorkerScreenChangesTest : public WorkerDisplayTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(WorkerScreenChangesTest, APixelChangeAfterAStillSpellChangesTheDecision) {
  const test::ScopedEnv damage("TAVRIK_DAMAGE", std::string(GetParam()));
  StartWorker();
  Add("badge:ok", "badge.png", "0,0,480,320");
  Add("ring", "ring.png", "0,0,480,320");  // same rectangle, unchanged by the swap
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "badge" && m.hit; })) << round;
    // A still screen for a while: with damage nothing is read or matched in these passes.
    std::this_thread::sleep_for(500ms);
    reader_->DiscardPending();
    ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "badge" && m.hit; })) << round;
    SwapBadge();
    const std::int64_t swappedAtMs = WallClockMs();
    // Every decision made after the swap is a miss (a decision in flight may still be a hit).
    int missesAfter = 0;
    ASSERT_TRUE(WaitFor([&](const Message& m) {
      if (m.name != "badge" || m.timestampMs <= swappedAtMs + 100) return false;
      EXPECT_FALSE(m.hit) << round;
      return ++missesAfter == 5;
    }));
    // The ring, in the same rectangle, is still found.
    ASSERT_TRUE(WaitFor([](const Message& m) { return m.name == "ring" && m.hit; }));
    ASSERT_TRUE(desktop_.RestoreBadge());
  }
  EXPECT_TRUE(worker_.Running());
}

std::string DamageCaseName(const ::testing::TestParamInfo<const char*>& param) {
  return std::string(param.param) == "0" ? "DamageOff" : "DamageOn";
}
INSTANTIATE_TEST_SUITE_P(DamageOnAndOff, WorkerScreenChangesTest, ::testing::Values("1", "0"),
                         DamageCaseName);

// Templates that share a rectangle share its pixels: on a 2048x2048 region each template beyond
// the first costs what its own match needs, not another copy of the region.
class WorkerSharedRegionMemoryTest : public WorkerDisplayTest {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's shadow memory and quarantine are part of the worker's resident set.
    GTEST_SKIP() << "resident memory is the sanitizer's here";
#endif
    desktop_.SetScreenSize(2200, 2200);
    WorkerDisplayTest::SetUp();
  }
  // A process's resident set (VmRSS) or its peak (VmHWM), the worker's unless `pid` is given.
  std::int64_t ResidentKiB(pid_t pid = -1, const std::string& field = "VmRSS:") const {
    std::ifstream status("/proc/" + std::to_string(pid < 0 ? worker_.Pid() : pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size()));
    }
    return -1;
  }
  // Polls until the worker's resident set is at most `limitKiB`: what it is then, or the last
  // reading after `timeout`.
  std::int64_t ResidentFallsTo(std::int64_t limitKiB, std::chrono::milliseconds timeout) const {
    std::int64_t now = ResidentKiB();
    test::WaitUntil(
        [&] {
          now = ResidentKiB();
          return now <= limitKiB;
        },
        timeout);
    return now;
  }
  // Waits until every one of `names` has been decided `times` more times.
  bool DecidedAgain(const std::vector<std::string>& names, int times) {
    std::map<std::string, int> count;
    return WaitFor(
               [&](const Message& m) {
                 ++count[m.name];
                 return std::all_of(names.begin(), names.end(),
                                    [&](const std::string& n) { return count[n] >= times; });
               },
               120s)
        .has_value();
  }
};

TEST_F(WorkerSharedRegionMemoryTest, TwentyGreyTemplatesOnOne2048RegionHoldItsPixelsOnce) {
  StartWorker();
  Add("g0", "ring.png", "0,0,2048,2048");
  ASSERT_TRUE(DecidedAgain({"g0"}, 3));
  const std::int64_t one = ResidentKiB();
  ASSERT_GT(one, 0);
  std::vector<std::string> names;
  for (int i = 1; i < 20; ++i) {
    names.push_back("g" + std::to_string(i));
    Add(names.back(), "ring.png", "0,0,2048,2048");
  }
  ASSERT_TRUE(LogHas("[Loop] templates=20 ", 30s));
  ASSERT_TRUE(DecidedAgain(names, 3));
  const std::int64_t twenty = ResidentKiB();
  const double perTemplateMiB = static_cast<double>(twenty - one) / 19.0 / 1024.0;
  std::cout << "resident: " << one / 1024 << " MiB with 1 template, " << twenty / 1024
            << " MiB with 20: " << perTemplateMiB << " MiB per extra template\n";
  EXPECT_LE(perTemplateMiB, 4.0);
}

// Large regions of every kind, tried and then removed or cleared: the worker goes back to within
// 64 MiB of where it was idle, however large the regions were, cycle after cycle.
TEST_F(WorkerSharedRegionMemoryTest, RemoveAndClearGiveTheMemoryBackWhateverSizesWereTried) {
  constexpr std::int64_t kSlackKiB = 64 * 1024;
  StartWorker();
  std::this_thread::sleep_for(1s);  // start-up's own allocations settle
  const std::int64_t idle = ResidentKiB();
  ASSERT_GT(idle, 0);
  struct Tried {
    const char* name;
    const char* file;
    const char* roi;
  };
  const std::vector<std::vector<Tried>> cycles = {
      {{"t2:a", "badge.png", "0,0,2048,2048"}, {"t1:b", "ring.png", "0,0,1500,1100"}},
      {{"t3:c", "ring.png", "0,0,2090,2000"},
       {"t2:d", "badge.png", "300,200,1100,1700"},
       {"e", "ring.png", "0,0,2000,640"}},
      {{"t2:f", "badge.png", "0,0,1800,1800"}},
  };
  std::int64_t highest = 0;
  for (std::size_t cycle = 0; cycle < cycles.size(); ++cycle) {
    std::vector<std::string> names;
    for (const Tried& t : cycles[cycle]) {
      Add(t.name, t.file, t.roi);
      const std::string name = t.name;
      names.push_back(name.substr(0, name.find(':')));
    }
    ASSERT_TRUE(DecidedAgain(names, 2)) << cycle;
    const std::int64_t busy = ResidentKiB();
    highest = std::max(highest, busy);
    // The first template goes alone, the others with a clear.
    Send({"remove", cycles[cycle].front().name});
    if (cycles[cycle].size() > 1) {
      names.erase(names.begin());
      ASSERT_TRUE(DecidedAgain(names, 1)) << cycle;
      Send({"clear"});
    }
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          const auto lines = LogLines("[Loop] templates=");
          return !lines.empty() && lines.back() == "[Loop] templates=0";
        },
        10s))
        << cycle;
    const std::int64_t after = ResidentFallsTo(idle + kSlackKiB, 5s);
    std::cout << "resident, cycle " << cycle << ": idle " << idle / 1024 << " MiB, busy "
              << busy / 1024 << " MiB, after " << after / 1024 << " MiB\n";
    EXPECT_LE(after, idle + kSlackKiB) << cycle;
  }
  // The regions did cost memory while they were watched, so the bound above has something to say.
  EXPECT_GT(highest, idle + kSlackKiB);
}

// A hundred templates of every kind on 256x256 regions of their own run within 256 MiB.
TEST_F(WorkerSharedRegionMemoryTest, AHundredTemplatesOn256RegionsRunWithin256MiB) {
  StartWorker();
  // Hit slots carry the part of a name before its colon: 25 templates per group.
  const char* kinds[] = {"t1:", "t2:", "t3:", "g:"};
  for (int i = 0; i < 100; ++i) {
    const std::string kind = kinds[i % 4];
    const std::string roi =
        std::to_string((i % 10) * 200) + "," + std::to_string((i / 10) * 200) + ",256,256";
    Add(kind + "n" + std::to_string(i), kind == "t2:" ? "badge.png" : "ring.png", roi);
  }
  ASSERT_TRUE(LogHas("[Loop] templates=100 ", 60s));
  std::map<std::string, int> decided;
  ASSERT_TRUE(WaitFor(
      [&](const Message& m) {
        if (m.name.rfind("__", 0) != 0) ++decided[m.name];  // not the version and heartbeats
        return decided.size() >= 4 &&
               std::all_of(decided.begin(), decided.end(), [](const auto& d) {
                 return d.second >= 75;  // three passes over the group's 25 templates
               });
      },
      120s))
      << [&] {
           std::string counts;
           for (const auto& [name, n] : decided) counts += name + "=" + std::to_string(n) + " ";
           return counts;
         }();
  const std::int64_t resident = ResidentKiB();
  std::cout << "resident with 100 templates on 256x256 regions: " << resident / 1024 << " MiB\n";
  EXPECT_LE(resident, 256 * 1024);
}

// Another client drawing while no template is due (long cooldowns) piles nothing up: neither
// the X server's queue of damage events for the worker nor the worker itself grows beyond what a
// pass of drawing holds.
TEST_F(WorkerSharedRegionMemoryTest, DrawingWhileNothingIsDuePilesNothingUp) {
  StartWorker();
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    names.push_back("c" + std::to_string(i));
    Add(names.back(), "ring.png", "0,0,240,200", "60000");
  }
  ASSERT_TRUE(DecidedAgain(names, 1));
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  ASSERT_EQ(xcb_connection_has_error(c), 0);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, screen->root, 0, nullptr);
  // The corner the fills go to is drawn on once first: its pages of the frame buffer count in the
  // server's steady state, not in its growth.
  const xcb_rectangle_t corner{1900, 1900, 200, 200};
  xcb_poly_fill_rectangle(c, screen->root, gc, 1, &corner);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::this_thread::sleep_for(1s);
  const std::int64_t worker = ResidentKiB();
  const std::int64_t server = ResidentKiB(desktop_.ServerPid());
  // One rectangle per request: the server reports the bounding box of each request's drawing.
  constexpr int kFills = 600'000;
  for (int done = 0; done < kFills; ++done) {
    const int at = done * 37;
    const xcb_rectangle_t dot{static_cast<std::int16_t>(1900 + at % 200),
                              static_cast<std::int16_t>(1900 + (at / 200) % 200), 1, 1};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &dot);
    if (done % 10'000 == 0) {
      std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
  }
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_disconnect(c);
  std::this_thread::sleep_for(500ms);  // a few passes
  const std::int64_t workerAfter = ResidentKiB();
  const std::int64_t serverAfter = ResidentKiB(desktop_.ServerPid());
  std::cout << "after " << kFills << " fills: worker " << worker << " -> " << workerAfter
            << " KiB, X server " << server << " -> " << serverAfter << " KiB\n";
  EXPECT_LE(workerAfter - worker, 4 * 1024);
  EXPECT_LE(serverAfter - server, 8 * 1024);
  EXPECT_TRUE(worker_.Running());
}

// Without a display no region can be held against the screen at add: the worker does it when the
// display comes, before it captures anything for them, and refuses those larger than the screen
// as the add would have.
TEST_F(WorkerSharedRegionMemoryTest, RegionsAddedWithoutADisplayAreCheckedWhenItComes) {
  // A display that is not there yet, far above those the other tests' servers take (the lowest
  // free ones), so that none takes it before the worker's server comes.
  int later = 600;
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(later))) ++later;
  {
    const test::ScopedEnv noDisplay("DISPLAY", ":" + std::to_string(later));
    StartWorker();
  }
  // Larger than the screen, yet within the pixel budget, which the add holds them against.
  Add("vast", "ring.png", "0,0,2300,2300");
  Add("huge", "ring.png", "0,0,100000,100");
  Add("fits", "ring.png", "0,0,240,200");
  ASSERT_TRUE(LogHas("[Spec] Registered 'fits'"));
  ASSERT_TRUE(LogHas("[Spec] Window lookup for 'tavrik-demo' found no display"));
  const std::string error = desktop_.RestartServer(later);
  ASSERT_TRUE(error.empty()) << error;
  for (const std::string refused : {"vast': region 2300x2300", "huge': region 100000x100"}) {
    EXPECT_TRUE(LogHas("[Spec] Refused template '" + refused +
                           " is larger than the screen 2200x2200",
                       30s))
        << refused;
  }
  ASSERT_TRUE(LogHas("[Loop] templates=1 [fits]", 30s)) << ::testing::PrintToString(LogLines("[Spec] "));
  const std::size_t failed = LogLines("[MISS] vast").size() + LogLines("[MISS] huge").size();
  ASSERT_TRUE(DecidedAgain({"fits"}, 3));
  EXPECT_EQ(LogLines("[MISS] vast").size() + LogLines("[MISS] huge").size(), failed);
  const std::int64_t peak = ResidentKiB(-1, "VmHWM:");
  std::cout << "peak resident: " << peak / 1024 << " MiB\n";
  EXPECT_LE(peak, 256 * 1024);
  EXPECT_TRUE(worker_.Running());
}

// Distinct large rectangles are registered while their remembered pixels fit the budget and
// refused past it, with one line each. Enough are sent that, without the budget, their pixels
// alone would pass the stated margin, so the resident bound says something.
TEST_F(WorkerSharedRegionMemoryTest, AddsOnDistinctLargeRegionsStopAtThePixelBudget) {
  constexpr std::int64_t kWidth = 1800;
  constexpr std::int64_t kHeight = 1000;
  constexpr std::int64_t kRectBytes = kWidth * kHeight * kRememberedBytesPerPixel;
  // Beyond the remembered pixels: the prepared spectra and derived planes (their own budget), a
  // grab buffer of the whole screen per evaluating thread, and the allocator's slack.
  constexpr std::int64_t kMarginBytes = static_cast<std::int64_t>(kDefaultMatchBudgetBytes) +
                                        kMaxPoolThreads * std::int64_t{2200 * 2200 * 4} +
                                        (std::int64_t{32} << 20);
  const std::int64_t allowed = kPixelBudgetBytes / kRectBytes;
  const std::int64_t sent = allowed + kMarginBytes / kRectBytes + 1;
  StartWorker();
  std::this_thread::sleep_for(1s);  // start-up's own allocations settle
  const std::int64_t idle = ResidentKiB();
  ASSERT_GT(idle, 0);
  std::vector<std::string> names;
  for (std::int64_t i = 0; i < sent; ++i) {
    names.push_back("px" + std::to_string(i));
    // Distinct offsets inside the 2200x2200 screen: each its own capture rectangle.
    const std::string at = std::to_string(i % 20 * 20) + "," + std::to_string(i / 20 * 20);
    Add(names.back(), "ring.png", at + "," + std::to_string(kWidth) + "," + std::to_string(kHeight),
        "60000");
  }
  // Every add has its outcome once the last one has.
  ASSERT_TRUE(LogHas("[Spec] Add requested name=" + names.back() + " ", 60s));
  const auto outcome = [&](const std::string& name) {
    return LogLines("[Spec] Registered '" + name + "'").size() +
           LogLines("[Spec] Refused template '" + name + "'").size();
  };
  ASSERT_TRUE(test::WaitUntil([&] { return outcome(names.back()) > 0; }, 10s));
  std::vector<std::string> registered;
  for (const std::string& name : names) {
    if (!LogLines("[Spec] Registered '" + name + "'").empty()) registered.push_back(name);
  }
  EXPECT_EQ(registered, std::vector<std::string>(names.begin(), names.begin() + allowed));
  // The resident set counts the pixels of every rectangle once each has been captured.
  ASSERT_TRUE(DecidedAgain(registered, 1));
  const std::vector<std::string> refused = LogLines("[Spec] Refused template 'px");
  EXPECT_EQ(refused.size(), static_cast<std::size_t>(sent - allowed));
  for (std::size_t i = 0; i < std::min<std::size_t>(refused.size(), sent - allowed); ++i) {
    const std::string name = names[static_cast<std::size_t>(allowed) + i];
    EXPECT_EQ(
        refused[i].rfind("[Spec] Refused template '" + name + "': its region 1800x1000 needs ", 0),
        0u)
        << refused[i];
    EXPECT_NE(refused[i].find(" MiB of the " + std::to_string(kPixelBudgetBytes >> 20) +
                              " MiB pixel budget are in use"),
              std::string::npos)
        << refused[i];
  }
  const std::int64_t resident = ResidentKiB();
  const std::int64_t peak = ResidentKiB(-1, "VmHWM:");
  std::cout << "resident: idle " << idle / 1024 << " MiB, " << registered.size() << " of " << sent
            << " regions registered: " << resident / 1024 << " MiB (peak " << peak / 1024
            << " MiB)\n";
  EXPECT_LE(resident, idle + (kPixelBudgetBytes + kMarginBytes) / 1024);
  EXPECT_TRUE(worker_.Running());
}

// Many templates on the full 1920x1080 client area, where a window flickers so that every pass
// matches them all (the cases an outside probe measured before the engine shared a rectangle's
// tiles): the worker stays within 160 MiB above idle, and once running its passes fault in no more
// than a few hundred pages each (nothing prepared again, no buffer freed and made again).
TEST_F(WorkerSharedRegionMemoryTest, ManyTemplatesOnOneFullHdAreaStayWithinTheirMemory) {
  struct Row {
    const char* kind;  // name prefix
    int side;
    int count;
  };
  const Row rows[] = {{"t2:", 64, 30}, {"t2:", 64, 10}, {"t2:", 256, 8}, {"t2:", 256, 3},
                      {"", 64, 30},    {"", 256, 8}};
  std::jthread flicker(Flicker, 700, 500);
  for (const Row& row : rows) {
    const std::string label =
        std::string(*row.kind != 0 ? "t2" : "grey") + " " + std::to_string(row.side) + "² x" +
        std::to_string(row.count);
    SCOPED_TRACE(label);
    worker_.Stop();
    StartWorker();
    std::this_thread::sleep_for(1s);  // start-up's own allocations settle
    const std::int64_t idle = ResidentKiB();
    ASSERT_GT(idle, 0);
    cv::Mat templ(row.side, row.side, CV_8UC3);
    cv::randu(templ, 0, 256);
    const std::string file = "many_" + std::to_string(row.side) + ".png";
    ASSERT_TRUE(cv::imwrite((dir_ / file).string(), templ));
    for (int i = 0; i < row.count; ++i) {
      Add(std::string(row.kind) + "hd" + std::to_string(i), file, "0,0,1920,1080");
    }
    ASSERT_TRUE(LogHas("[Loop] templates=" + std::to_string(row.count) + " ", 60s));
    // The ring carries a t2 template's kind as its name: passes are counted in decisions.
    const auto decisions = [&](int passes) {
      int seen = 0;
      return WaitFor([&](const Message&) { return ++seen >= passes * row.count; }, 120s)
          .has_value();
    };
    // Passes while the set grew released and regrew the buffers: measured from a steady state.
    ASSERT_TRUE(decisions(5));
    const auto minorFaults = [&] {
      std::ifstream stat("/proc/" + std::to_string(worker_.Pid()) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      std::istringstream fields(text.substr(text.rfind(')') + 2));
      std::string field;
      for (int i = 0; i < 8; ++i) fields >> field;  // state ... flags, then minflt
      return std::stoll(field);
    };
    // The free cores follow the machine's load, so a pool thread may do its first work in any
    // pass and grow its buffers then, once; what every pass costs is the least of a few windows
    // (one more than the pool's threads can be).
    constexpr int kWindows = 5;
    constexpr int kPasses = 2;
    double faultsPerPass = std::numeric_limits<double>::infinity();
    std::string windows;
    for (int window = 0; window < kWindows; ++window) {
      const std::int64_t faultsBefore = minorFaults();
      ASSERT_TRUE(decisions(kPasses));
      const double perPass = static_cast<double>(minorFaults() - faultsBefore) / kPasses;
      faultsPerPass = std::min(faultsPerPass, perPass);
      windows += (window == 0 ? "" : ", ") + std::to_string(static_cast<int>(perPass));
    }
    const std::int64_t resident = ResidentKiB();
    std::cout << label << " on 1920x1080: idle " << idle / 1024 << " MiB, then "
              << resident / 1024 << " MiB; minor faults a pass: " << windows << "\n";
    // The goal is stated for thirty t2 templates of 64²; the other rows are held to the budget a
    // template's matching may take, so that a machine with more pool threads still passes them.
    const bool goalRow = *row.kind != 0 && row.side == 64 && row.count == 30;
    EXPECT_LE(resident, idle + (goalRow ? 160 * 1024
                                        : static_cast<std::int64_t>(kMatchNeedBudgetBytes >> 10)));
    EXPECT_LE(faultsPerPass, 500.0);
  }
}

// The largest t2 template the worker admits on a 3840x2160 screen, on a region where a window
// flickers, so that every pass evaluates it again: SIGTERM in the middle of an evaluation ends
// the worker within 1.5 s (on a machine so slow that a quarter of an evaluation is longer, within
// that: a few tiles' worth), and the next size up is refused at add with its figures.
class WorkerLargeScreenTest : public WorkerSharedRegionMemoryTest {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a 4K evaluation under a sanitizer takes minutes";
#endif
    desktop_.SetScreenSize(3840, 2160);
    WorkerDisplayTest::SetUp();
  }
};

TEST_F(WorkerLargeScreenTest, TheLargestAdmittedT2StopsWithinTheBoundAndTheNextSizeIsRefused) {
  const int threads = PoolThreadsFor(std::thread::hardware_concurrency());
  const IntRect roi{0, 0, 3840 - kTargetX, 2160 - kTargetY};
  const auto need = [&](int side) {
    TemplateInfo info;
    info.name = "t2:probe";
    info.kind = TemplateKindId::kT2;
    info.image = cv::Mat(side, side, CV_8UC3);
    info.rawRoi = roi;
    return MatchNeedBytes(info, threads);
  };
  int side = 2048;
  while (side > 64 && need(side) > kMatchNeedBudgetBytes) side -= 16;
  ASSERT_GT(side, 64);
  ASSERT_GT(need(side + 16), kMatchNeedBudgetBytes);
  for (const int s : {side, side + 16}) {
    cv::Mat image(s, s, CV_8UC3);
    cv::randu(image, 0, 256);
    ASSERT_TRUE(cv::imwrite((dir_ / ("t2_" + std::to_string(s) + ".png")).string(), image));
  }
  const std::string region = "0,0," + std::to_string(roi.width) + "," + std::to_string(roi.height);
  StartWorker();
  Add("t2:larger", "t2_" + std::to_string(side + 16) + ".png", region);
  EXPECT_TRUE(LogHas("[Spec] Refused template 't2:larger': matching its " +
                         std::to_string(side + 16) + "x" + std::to_string(side + 16) + " image",
                     30s));
  std::jthread flicker(Flicker, 700, 500);
  Add("t2:largest", "t2_" + std::to_string(side) + ".png", region);
  ASSERT_TRUE(LogHas("[Spec] Registered 't2:largest'", 30s));
  ASSERT_TRUE(WaitFor([](const Message&) { return true; }, 120s));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([](const Message&) { return true; }, 120s));
  const auto evaluationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - first)
                                .count();
  // A third of the way into the next evaluation.
  std::this_thread::sleep_for(std::chrono::milliseconds(evaluationMs / 3));
  const auto [code, tookMs] = StopTimed();
  std::cout << "largest admitted t2: " << side << "x" << side << " with " << threads
            << " threads; an evaluation takes " << evaluationMs << " ms; stopped in " << tookMs
            << " ms\n";
  RecordProperty("evaluation_ms", std::to_string(evaluationMs));
  RecordProperty("stop_ms", std::to_string(tookMs));
  EXPECT_EQ(code, 0);
  EXPECT_LT(tookMs, std::max<std::int64_t>(1500, evaluationMs / 4));
}

}  // namespace
}  // namespace tavrik
