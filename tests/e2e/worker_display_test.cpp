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
#include "ipc/command_ring.h"
#include "tests/e2e/worker_display_fixture.h"
#include "tests/support/demo_desktop.h"
#include "tests/support/hit_watch.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_run.h"
#include "tools/ctl/probe_pictures.h"

namespace tavrik::test {
namespace {

using namespace std::chrono_literals;
using Message = ReceivedHit;

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

}  // namespace
}  // namespace tavrik::test
