// The whole worker's memory under a private Xvfb: what it holds while templates share a
// rectangle, what it gives back, and where it refuses, measured on the process itself.
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

#include "detect/detection_loop.h"
#include "detect/match_budget.h"
#include "detect/pixel_budget.h"
#include "ipc/command_ring.h"
#include "match/match_cache.h"
#include "tests/e2e/worker_display_fixture.h"
#include "tests/support/demo_desktop.h"
#include "tests/support/hit_watch.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"

namespace tavrik::test {
namespace {

using namespace std::chrono_literals;
using Message = ReceivedHit;

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
    EXPECT_TRUE(
        LogHas("[Spec] Refused template '" + refused + " is larger than the screen 2200x2200", 30s))
        << refused;
  }
  ASSERT_TRUE(LogHas("[Loop] templates=1 [fits]", 30s))
      << ::testing::PrintToString(LogLines("[Spec] "));
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
  const Row rows[] = {{"t2:", 64, 30}, {"t2:", 64, 10}, {"t2:", 256, 8},
                      {"t2:", 256, 3}, {"", 64, 30},    {"", 256, 8}};
  std::jthread flicker(Flicker, 700, 500);
  for (const Row& row : rows) {
    const std::string label = std::string(*row.kind != 0 ? "t2" : "grey") + " " +
                              std::to_string(row.side) + "² x" + std::to_string(row.count);
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
    // The passes while the set grew also grew the buffers: measured from a steady state.
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
    std::cout << label << " on 1920x1080: idle " << idle / 1024 << " MiB, then " << resident / 1024
              << " MiB; minor faults a pass: " << windows << "\n";
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
}  // namespace tavrik::test
