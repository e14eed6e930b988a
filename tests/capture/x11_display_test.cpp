// Window lookup and capture against a private Xvfb and real X clients (tavrik-pattern-window,
// xmessage). No window manager runs, so these cover the root-children path of the lookup.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/image_name.h"
#include "capture/screen_capture.h"
#include "capture/screen_changes.h"
#include "capture/target_window.h"
#include "capture/x11_capture.h"
#include "capture/x11_connection.h"
#include "tests/capture/pattern.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_fixture.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
using test::PatternPixel;
using test::SpawnedProcess;
using x11::CaptureMethod;
using x11::CaptureScreenRegionUsing;

const std::u16string kPatternName = u"tavrik-pattern-window";

// A running tavrik-pattern-window and the ids of its windows, bottom first.
struct PatternProcess {
  SpawnedProcess process;
  std::vector<xcb_window_t> windows;
};

PatternProcess StartPattern(const std::vector<std::string>& options,
                            const std::string& program = "") {
  PatternProcess pattern;
  std::vector<std::string> argv = {program.empty() ? test::BuiltExecutable("tavrik-pattern-window")
                                                   : program};
  argv.insert(argv.end(), options.begin(), options.end());
  pattern.process = SpawnedProcess::Spawn(argv, /*pipeStdout=*/true, /*quiet=*/false);
  const std::optional<std::string> line = pattern.process.ReadLine(10s);
  if (!line) return pattern;
  std::istringstream words(*line);
  std::string word;
  words >> word;
  if (word != "ready") return pattern;
  for (xcb_window_t id = 0; words >> id;) pattern.windows.push_back(id);
  return pattern;
}

// The test's own client, for moving and inspecting windows behind the backend's back.
class TestClient {
 public:
  TestClient() : connection_(xcb_connect(nullptr, nullptr)) {}
  ~TestClient() { xcb_disconnect(connection_); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Ok() const { return !xcb_connection_has_error(connection_); }
  xcb_connection_t* Get() const { return connection_; }
  xcb_window_t Root() const {
    return xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }

  void Sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

  void Move(xcb_window_t window, std::int32_t x, std::int32_t y) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    Sync();
  }

  void Raise(xcb_window_t window) {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    Sync();
  }

  std::optional<std::uint8_t> MapState(xcb_window_t window) {
    x11::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr));
    if (!attributes) return std::nullopt;
    return attributes->map_state;
  }

  bool HasProperty(xcb_window_t window, const char* name) {
    x11::Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 1, static_cast<std::uint16_t>(strlen(name)), name), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) return false;
    x11::Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, window, atom->atom, XCB_ATOM_ANY, 0, 1),
        nullptr));
    return property && property->type != XCB_ATOM_NONE;
  }

  void SetResources(const std::string& text) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, Root(), XCB_ATOM_RESOURCE_MANAGER,
                        XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(text.size()), text.data());
    Sync();
  }

  // Every server resource of the client that owns `xid`.
  std::uint32_t ResourceCount(std::uint32_t xid) {
    x11::Reply<xcb_res_query_client_resources_reply_t> reply(xcb_res_query_client_resources_reply(
        connection_, xcb_res_query_client_resources(connection_, xid), nullptr));
    if (!reply) return 0;
    std::uint32_t total = 0;
    for (auto it = xcb_res_query_client_resources_types_iterator(reply.get()); it.rem > 0;
         xcb_res_type_next(&it)) {
      total += it.data->count;
    }
    return total;
  }

 private:
  xcb_connection_t* connection_;
};

std::string Describe(const cv::Vec3b& bgr) {
  return "(" + std::to_string(bgr[0]) + "," + std::to_string(bgr[1]) + "," +
         std::to_string(bgr[2]) + ")";
}

// Compares image[imageY.., imageX..] (w x h) with the pattern of `window` from (patX, patY).
::testing::AssertionResult MatchesPattern(const cv::Mat& image, int imageX, int imageY, int w,
                                          int h, int window, int patX, int patY) {
  if (image.type() != CV_8UC3) return ::testing::AssertionFailure() << "not CV_8UC3";
  for (int row = 0; row < h; ++row) {
    for (int col = 0; col < w; ++col) {
      const cv::Vec3b got = image.at<cv::Vec3b>(imageY + row, imageX + col);
      const test::PatternBgr want = PatternPixel(window, patX + col, patY + row);
      if (got != cv::Vec3b(want.b, want.g, want.r)) {
        return ::testing::AssertionFailure()
               << "pixel " << imageX + col << "," << imageY + row << " is " << Describe(got)
               << ", pattern wants " << Describe(cv::Vec3b(want.b, want.g, want.r));
      }
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsBlack(const cv::Mat& image, const cv::Rect& area) {
  for (int row = area.y; row < area.y + area.height; ++row) {
    for (int col = area.x; col < area.x + area.width; ++col) {
      if (image.at<cv::Vec3b>(row, col) != cv::Vec3b(0, 0, 0)) {
        return ::testing::AssertionFailure() << "pixel " << col << "," << row << " is "
                                             << Describe(image.at<cv::Vec3b>(row, col));
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// Runs jobs on one long-lived thread, the way the CommandThread performs lookups.
class JobThread {
 public:
  JobThread() : thread_([this] { Loop(); }) {}
  ~JobThread() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  template <typename F>
  auto Run(F job) -> decltype(job()) {
    auto task = std::make_shared<std::packaged_task<decltype(job())()>>(std::move(job));
    auto result = task->get_future();
    {
      std::lock_guard lock(mutex_);
      jobs_.emplace_back([task] { (*task)(); });
    }
    wake_.notify_one();
    return result.get();
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

class X11Display : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start()) << "Xvfb could not be started";
    display_.emplace("DISPLAY", server_.DisplayName());
    x11::CloseThreadSession();
  }

  void TearDown() override {
    x11::CloseThreadSession();
    server_.Stop();
  }

  static std::optional<WindowOrigin> Locate(std::u16string_view name, std::int32_t* dpi = nullptr) {
    WindowOrigin origin{-999, -999};
    if (!LocateTargetWindow(name, origin, dpi)) return std::nullopt;
    return origin;
  }

  // For a test that stops the server and starts its successor on the same display.
  void RestartableServer() {
    ASSERT_TRUE(server_.StartOutOfTheWay()) << "Xvfb could not be started";
    display_.reset();
    display_.emplace("DISPLAY", server_.DisplayName());
    x11::CloseThreadSession();
  }

  test::XvfbServer server_;
  std::optional<test::ScopedEnv> display_;
};

TEST_F(X11Display, FindsTheWindowByImageNameInAnyCaseWithOrWithoutExe) {
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  for (const char16_t* name : {u"tavrik-pattern-window", u"TAVRIK-Pattern-Window",
                               u"tavrik-pattern-window.exe", u"Tavrik-Pattern-Window.EXE"}) {
    EXPECT_EQ(FindTargetWindow(NormalizeImageName(name)), pattern.windows[0]);
  }
  for (const char16_t* name : {u"tavrik-pattern", u"pattern-window", u"tavrik-pattern-window.ex",
                               u"tavrik-pattern-window.bin"}) {
    EXPECT_EQ(FindTargetWindow(NormalizeImageName(name)), 0u);
  }
  std::int32_t dpi = 0;
  const std::optional<WindowOrigin> origin = Locate(kPatternName, &dpi);
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 100);
  EXPECT_EQ(origin->y, 80);
  EXPECT_EQ(dpi, 96);
}

TEST_F(X11Display, EmptyNameFailsAndLeavesOutputsAlone) {
  PatternProcess pattern = StartPattern({});
  ASSERT_EQ(pattern.windows.size(), 1u);
  WindowOrigin origin{7, 9};
  std::int32_t dpi = 123;
  EXPECT_FALSE(LocateTargetWindow(u"", origin, &dpi));
  EXPECT_EQ(origin.x, 7);
  EXPECT_EQ(origin.y, 9);
  EXPECT_EQ(dpi, 123);
}

TEST_F(X11Display, WithdrawnAndGoneWindowsAreNeverFound) {
  PatternProcess hidden = StartPattern({"--unmapped"});
  ASSERT_EQ(hidden.windows.size(), 1u);
  EXPECT_EQ(FindTargetWindow(kPatternName), 0u);
  WindowOrigin origin{7, 9};
  std::int32_t dpi = 123;
  EXPECT_FALSE(LocateTargetWindow(kPatternName, origin, &dpi));
  EXPECT_EQ(origin.x, 7);
  EXPECT_EQ(origin.y, 9);
  EXPECT_EQ(dpi, 123);

  PatternProcess shown = StartPattern({});
  ASSERT_EQ(shown.windows.size(), 1u);
  EXPECT_EQ(FindTargetWindow(kPatternName), shown.windows[0]);
  shown.process.Stop();
  TestClient client;
  client.Sync();  // the server has dropped the dead client's windows by now
  EXPECT_EQ(FindTargetWindow(kPatternName), 0u);
}

TEST_F(X11Display, TheTopmostOfSeveralWindowsWins) {
  PatternProcess pattern =
      StartPattern({"--count", "3", "--step-x", "40", "--width", "100", "--height", "80"});
  ASSERT_EQ(pattern.windows.size(), 3u);
  EXPECT_EQ(FindTargetWindow(kPatternName), pattern.windows[2]);

  TestClient client;
  ASSERT_TRUE(client.Ok());
  client.Raise(pattern.windows[0]);
  EXPECT_EQ(FindTargetWindow(kPatternName), pattern.windows[0]);
  client.Raise(pattern.windows[1]);
  EXPECT_EQ(FindTargetWindow(kPatternName), pattern.windows[1]);

  // A second process of the same program, created later, lies above all of them.
  PatternProcess other = StartPattern({"--x", "600"});
  ASSERT_EQ(other.windows.size(), 1u);
  EXPECT_EQ(FindTargetWindow(kPatternName), other.windows[0]);
  // Locating raises the topmost match; the origin is that of the topmost window.
  const std::optional<WindowOrigin> origin = Locate(kPatternName);
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 600);
}

TEST_F(X11Display, FindsTheProcessThroughXResWithoutNetWmPid) {
  PatternProcess pattern = StartPattern({"--no-pid", "--x", "50", "--y", "60"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  TestClient client;
  ASSERT_FALSE(client.HasProperty(pattern.windows[0], "_NET_WM_PID"));
  EXPECT_EQ(FindTargetWindow(kPatternName), pattern.windows[0]);
  const std::optional<WindowOrigin> origin = Locate(kPatternName);
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 50);
  EXPECT_EQ(origin->y, 60);
}

TEST_F(X11Display, AMinimisedWindowIsRestoredBeforeItsOriginIsRead) {
  PatternProcess pattern = StartPattern({"--iconic", "--x", "200", "--y", "150"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  TestClient client;
  ASSERT_EQ(client.MapState(pattern.windows[0]), XCB_MAP_STATE_UNMAPPED);
  // Minimised still counts as visible.
  EXPECT_EQ(FindTargetWindow(kPatternName), pattern.windows[0]);

  const std::optional<WindowOrigin> origin = Locate(u"tavrik-pattern-window");
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 200);
  EXPECT_EQ(origin->y, 150);
  EXPECT_EQ(client.MapState(pattern.windows[0]), XCB_MAP_STATE_VIEWABLE);

  // The restored window shows its picture (it paints on its first Expose).
  cv::Mat image;
  for (int attempt = 0; attempt < 100; ++attempt) {
    image = CaptureScreenRegion(origin->x, origin->y, 50, 40);
    if (MatchesPattern(image, 0, 0, 50, 40, 0, 0, 0)) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(MatchesPattern(image, 0, 0, 50, 40, 0, 0, 0));
}

TEST_F(X11Display, TheOriginFollowsAMovedWindowIncludingNegativeCoordinates) {
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  TestClient client;
  client.Move(pattern.windows[0], 321, 205);
  std::optional<WindowOrigin> origin = Locate(kPatternName);
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 321);
  EXPECT_EQ(origin->y, 205);

  client.Move(pattern.windows[0], -40, -25);
  origin = Locate(kPatternName);
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, -40);
  EXPECT_EQ(origin->y, -25);
}

TEST_F(X11Display, DpiComesFromXftDpiElse96) {
  PatternProcess pattern = StartPattern({});
  ASSERT_EQ(pattern.windows.size(), 1u);
  TestClient client;
  client.SetResources("Xft.antialias:\t1\nXft.dpi:\t144\n");
  std::int32_t dpi = 0;
  ASSERT_TRUE(Locate(kPatternName, &dpi));
  EXPECT_EQ(dpi, 144);
  client.SetResources("Xft.antialias:\t1\n");
  ASSERT_TRUE(Locate(kPatternName, &dpi));
  EXPECT_EQ(dpi, 96);
  EXPECT_TRUE(Locate(kPatternName, nullptr));
}

TEST_F(X11Display, LongAndNonAsciiImagePaths) {
  // Copies of the pattern program under names and paths the lookup must judge from the real
  // /proc/<pid>/exe: UTF-8 bytes, non-ASCII capitals, and the 259-unit limit.
  namespace fs = std::filesystem;
  const fs::path base = fs::path(std::getenv("TAVRIK_BUILD_DIR")) /
                        ("capture-image-paths-" + std::to_string(getpid()));
  fs::remove_all(base);
  const fs::path source = test::BuiltExecutable("tavrik-pattern-window");
  auto copyTo = [&](const fs::path& target) {
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target.string();
  };
  const std::string umlaut = copyTo(base / "\xC3\x84pfel-Tool.EXE");  // "Äpfel-Tool.EXE"
  PatternProcess apple = StartPattern({}, umlaut);
  ASSERT_EQ(apple.windows.size(), 1u);
  EXPECT_EQ(FindTargetWindow(NormalizeImageName(u"\u00C4PFEL-TOOL.exe")), apple.windows[0]);
  EXPECT_EQ(FindTargetWindow(u"\u00C4pfel-tool"), apple.windows[0]);
  EXPECT_EQ(FindTargetWindow(u"\u00E4pfel-tool"), 0u);  // only A to Z are folded
  apple.process.Stop();

  const std::string fileName = "/long-named-tool";
  const std::size_t used = base.string().size() + fileName.size() + 1;  // + "/" before padding
  ASSERT_LT(used, kMaxImagePathUnits - 10);
  const std::string fits = copyTo(base / (std::string(kMaxImagePathUnits - used, 'd') + fileName));
  const std::string tooLong =
      copyTo(base / (std::string(kMaxImagePathUnits - used + 1, 'e') + fileName));
  ASSERT_EQ(fits.size(), kMaxImagePathUnits);
  ASSERT_EQ(tooLong.size(), kMaxImagePathUnits + 1);

  PatternProcess longer = StartPattern({}, tooLong);
  ASSERT_EQ(longer.windows.size(), 1u);
  EXPECT_EQ(FindTargetWindow(u"long-named-tool"), 0u);
  PatternProcess fitting = StartPattern({}, fits);
  ASSERT_EQ(fitting.windows.size(), 1u);
  fitting.process.Stop();
  TestClient client;
  client.Raise(longer.windows[0]);
  EXPECT_EQ(FindTargetWindow(u"long-named-tool"), 0u);
  PatternProcess fittingAgain = StartPattern({}, fits);
  EXPECT_EQ(FindTargetWindow(u"long-named-tool"), fittingAgain.windows.at(0));
  fittingAgain.process.Stop();
  longer.process.Stop();
  fs::remove_all(base);
}

TEST_F(X11Display, AStockClientIsFoundByItsImageName) {
  PatternProcess message;
  message.process = SpawnedProcess::Spawn({"xmessage", "-geometry", "+300+200", "tavrik test"},
                                          /*pipeStdout=*/false, /*quiet=*/true);
  if (!message.process.Running()) GTEST_SKIP() << "xmessage is not installed";
  NativeWindowId found = 0;
  for (int attempt = 0; attempt < 250 && found == 0; ++attempt) {
    std::this_thread::sleep_for(20ms);
    found = FindTargetWindow(NormalizeImageName(u"XMessage.exe"));
  }
  ASSERT_NE(found, 0u);
  // The client area starts inside the window's border.
  TestClient client;
  x11::Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
      client.Get(), xcb_get_geometry(client.Get(), static_cast<xcb_window_t>(found)), nullptr));
  ASSERT_TRUE(geometry);
  const std::optional<WindowOrigin> origin = Locate(u"xmessage");
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 300 + geometry->border_width);
  EXPECT_EQ(origin->y, 200 + geometry->border_width);
}

class X11Capture : public X11Display, public ::testing::WithParamInterface<CaptureMethod> {};

TEST_P(X11Capture, PixelExactAgainstThePaintedPattern) {
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  const cv::Mat image = CaptureScreenRegionUsing(GetParam(), 110, 100, 64, 48);
  ASSERT_EQ(image.rows, 48);
  ASSERT_EQ(image.cols, 64);
  ASSERT_EQ(image.type(), CV_8UC3);
  EXPECT_TRUE(image.isContinuous());
  EXPECT_TRUE(MatchesPattern(image, 0, 0, 64, 48, 0, 10, 20));

  const cv::Mat single = CaptureScreenRegionUsing(GetParam(), 100 + 37, 80 + 11, 1, 1);
  ASSERT_EQ(single.size(), cv::Size(1, 1));
  ASSERT_EQ(single.type(), CV_8UC3);
  EXPECT_TRUE(MatchesPattern(single, 0, 0, 1, 1, 0, 37, 11));

  // A larger region after a small one (the shared segment grows), then a small one again.
  const cv::Mat whole = CaptureScreenRegionUsing(GetParam(), 100, 80, 200, 150);
  EXPECT_TRUE(MatchesPattern(whole, 0, 0, 200, 150, 0, 0, 0));
  const cv::Mat again = CaptureScreenRegionUsing(GetParam(), 299, 229, 1, 1);
  EXPECT_TRUE(MatchesPattern(again, 0, 0, 1, 1, 0, 199, 149));
}

TEST_P(X11Capture, OffScreenPartsAreBlackAndTheSizeIsExact) {
  PatternProcess corners =
      StartPattern({"--x", "0", "--y", "0", "--width", "100", "--height", "100", "--count", "2",
                    "--step-x", "1180", "--step-y", "924"});
  ASSERT_EQ(corners.windows.size(), 2u);

  // Bottom-right corner: 20 x 10 on screen.
  cv::Mat image = CaptureScreenRegionUsing(GetParam(), 1260, 1014, 50, 40);
  ASSERT_EQ(image.size(), cv::Size(50, 40));
  EXPECT_TRUE(MatchesPattern(image, 0, 0, 20, 10, 1, 80, 90));
  EXPECT_TRUE(IsBlack(image, cv::Rect(20, 0, 30, 40)));
  EXPECT_TRUE(IsBlack(image, cv::Rect(0, 10, 20, 30)));

  // Top-left corner from negative coordinates: 20 x 15 on screen.
  image = CaptureScreenRegionUsing(GetParam(), -10, -5, 30, 20);
  ASSERT_EQ(image.size(), cv::Size(30, 20));
  EXPECT_TRUE(MatchesPattern(image, 10, 5, 20, 15, 0, 0, 0));
  EXPECT_TRUE(IsBlack(image, cv::Rect(0, 0, 10, 20)));
  EXPECT_TRUE(IsBlack(image, cv::Rect(0, 0, 30, 5)));

  // Wholly off the screen, including coordinates whose far edge does not fit 32 bits.
  for (const cv::Rect& rect :
       {cv::Rect(2000, 2000, 10, 10), cv::Rect(-100, -100, 50, 50), cv::Rect(1280, 0, 7, 3),
        cv::Rect(0, 1024, 7, 3), cv::Rect(2147483600, 0, 100, 1)}) {
    image = CaptureScreenRegionUsing(GetParam(), rect.x, rect.y, rect.width, rect.height);
    const std::string where = std::to_string(rect.x) + "," + std::to_string(rect.y);
    ASSERT_EQ(image.size(), rect.size()) << where;
    ASSERT_EQ(image.type(), CV_8UC3);
    EXPECT_TRUE(IsBlack(image, cv::Rect(0, 0, rect.width, rect.height))) << where;
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, X11Capture,
                         ::testing::Values(CaptureMethod::kAuto, CaptureMethod::kShm,
                                           CaptureMethod::kGetImage),
                         [](const ::testing::TestParamInfo<CaptureMethod>& param) {
                           switch (param.param) {
                             case CaptureMethod::kShm:
                               return std::string("Shm");
                             case CaptureMethod::kGetImage:
                               return std::string("GetImage");
                             default:
                               return std::string("Auto");
                           }
                         });

TEST_F(X11Display, EmptyAndAbsurdSizesNeverReachTheServer) {
  // A fresh thread has no connection; refusing the size must not open one.
  std::thread([] {
    for (const cv::Size& size :
         {cv::Size(0, 10), cv::Size(10, 0), cv::Size(-1, 5), cv::Size(5, -1), cv::Size(-3, -3),
          cv::Size(100000, 100000), cv::Size(65536, 65536), cv::Size(8193, 8192)}) {
      EXPECT_TRUE(CaptureScreenRegion(0, 0, size.width, size.height).empty())
          << size.width << "x" << size.height;
    }
    EXPECT_FALSE(x11::ThreadHasSession());
    EXPECT_FALSE(CaptureScreenRegion(0, 0, 2, 2).empty());
    EXPECT_TRUE(x11::ThreadHasSession());
  }).join();
}

int OpenDescriptorCount() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

struct ShmCensus {
  int segments = 0;
  int notMarkedForRemoval = 0;
};

// System V segments created by this process, from /proc/sysvipc/shm.
ShmCensus OwnShmSegments() {
  ShmCensus census;
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long long key = 0, id = 0, size = 0, cpid = 0;
    std::string perms;
    fields >> key >> id >> perms >> size >> cpid;
    if (cpid != getpid()) continue;
    ++census.segments;
    constexpr unsigned kShmDest = 01000;
    if ((std::stoul(perms, nullptr, 8) & kShmDest) == 0) ++census.notMarkedForRemoval;
  }
  return census;
}

TEST_F(X11Display, TenThousandCapturesLeakNothing) {
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  const int sizes[] = {16, 300, 64, 1, 257, 32};
  // Warm up to the largest size so the shared segment has reached its final size.
  ASSERT_FALSE(CaptureScreenRegion(0, 0, 300, 300).empty());
  ASSERT_FALSE(CaptureScreenRegionUsing(CaptureMethod::kGetImage, 0, 0, 300, 300).empty());
  TestClient client;
  const std::uint32_t ownXid = xcb_get_setup(x11::ThreadSession()->Connection())->resource_id_base;
  const int descriptors = OpenDescriptorCount();
  const ShmCensus segments = OwnShmSegments();
  const std::uint32_t resources = client.ResourceCount(ownXid);
  EXPECT_EQ(segments.segments, 1);
  EXPECT_EQ(segments.notMarkedForRemoval, 0);
  EXPECT_GT(resources, 0u);

  for (int i = 0; i < 10000; ++i) {
    const int size = sizes[i % std::size(sizes)];
    const CaptureMethod method = i % 10 == 9 ? CaptureMethod::kGetImage : CaptureMethod::kAuto;
    const cv::Mat image = CaptureScreenRegionUsing(method, 100 + i % 50, 80, size, size / 2 + 1);
    ASSERT_EQ(image.cols, size) << "capture " << i;
  }
  EXPECT_TRUE(MatchesPattern(CaptureScreenRegion(100, 80, 64, 32), 0, 0, 64, 32, 0, 0, 0));
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  const ShmCensus after = OwnShmSegments();
  EXPECT_EQ(after.segments, segments.segments);
  EXPECT_EQ(after.notMarkedForRemoval, 0);
  EXPECT_EQ(client.ResourceCount(ownXid), resources);

  // Closing the connection gives the segment back once the server has let go of it.
  x11::CloseThreadSession();
  int remaining = OwnShmSegments().segments;
  for (int attempt = 0; attempt < 200 && remaining != 0; ++attempt) {
    std::this_thread::sleep_for(10ms);
    remaining = OwnShmSegments().segments;
  }
  EXPECT_EQ(remaining, 0);
}

TEST_F(X11Display, NoDisplayMeansFailedLookupsAndEmptyCaptures) {
  PatternProcess pattern = StartPattern({});
  ASSERT_EQ(pattern.windows.size(), 1u);
  test::ScopedEnv noDisplay("DISPLAY", std::nullopt);
  x11::CloseThreadSession();
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 10, 10).empty());
  EXPECT_EQ(FindTargetWindow(kPatternName), 0u);
  EXPECT_FALSE(Locate(kPatternName));
  test::ScopedEnv deadDisplay("DISPLAY", ":" + std::to_string(server_.Display() + 1000));
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 10, 10).empty());
  EXPECT_FALSE(Locate(kPatternName));
}

TEST_F(X11Display, SurvivesTheServerDyingAndUsesItsSuccessor) {
  JobThread commandThread;
  auto lookup = [&] {
    return commandThread.Run([] {
      WindowOrigin origin{-1, -1};
      return LocateTargetWindow(kPatternName, origin, nullptr) ? std::optional(origin)
                                                               : std::nullopt;
    });
  };

  ASSERT_NO_FATAL_FAILURE(RestartableServer());
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  ASSERT_TRUE(MatchesPattern(CaptureScreenRegion(100, 80, 64, 64), 0, 0, 64, 64, 0, 0, 0));
  ASSERT_TRUE(lookup());

  const int display = server_.Display();
  server_.Stop();
  pattern.process.Stop();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(CaptureScreenRegion(100, 80, 64, 64).empty());
    EXPECT_TRUE(CaptureScreenRegionUsing(CaptureMethod::kGetImage, 100, 80, 64, 64).empty());
    EXPECT_FALSE(lookup());
    EXPECT_EQ(commandThread.Run([] { return FindTargetWindow(kPatternName); }), 0u);
  }

  ASSERT_TRUE(server_.Start(display));
  ASSERT_EQ(server_.Display(), display);
  PatternProcess successor = StartPattern({"--x", "220", "--y", "140"});
  ASSERT_EQ(successor.windows.size(), 1u);
  EXPECT_TRUE(MatchesPattern(CaptureScreenRegionUsing(CaptureMethod::kShm, 220, 140, 64, 64), 0, 0,
                             64, 64, 0, 0, 0));
  const std::optional<WindowOrigin> origin = lookup();
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->x, 220);
  EXPECT_EQ(origin->y, 140);
}

bool Covers(const std::vector<IntRect>& rects, const IntRect& area) {
  // Every pixel of `area` lies in one of `rects` (checked pixel by pixel: the areas are small).
  for (std::int32_t y = area.y; y < area.y + area.height; ++y) {
    for (std::int32_t x = area.x; x < area.x + area.width; ++x) {
      const bool in = std::any_of(rects.begin(), rects.end(), [&](const IntRect& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
      });
      if (!in) return false;
    }
  }
  return true;
}

TEST_F(X11Display, ScreenChangesReportEveryDrawingAndSayWhenTheyCannotVouch) {
  ASSERT_NO_FATAL_FAILURE(RestartableServer());
  ScreenChanges changes;
  std::vector<IntRect> damaged;
  EXPECT_FALSE(changes.Take(damaged));  // nothing is known from before the tracking started
  ASSERT_TRUE(changes.Take(damaged));

  // Another client maps and paints a window.
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  std::vector<IntRect> seen;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        EXPECT_TRUE(changes.Take(damaged));
        seen.insert(seen.end(), damaged.begin(), damaged.end());
        return Covers(seen, {100, 80, 64, 64});
      },
      5s));
  ASSERT_TRUE(test::WaitUntil([&] { return changes.Take(damaged) && damaged.empty(); },
                              5s));  // and then stays still

  // Drawn by the test's client: once the server has carried it out, the very next answer has it,
  // and it is not reported again after that.
  TestClient client;
  ASSERT_TRUE(client.Ok());
  const xcb_gcontext_t gc = xcb_generate_id(client.Get());
  const std::uint32_t black = 0;
  xcb_create_gc(client.Get(), gc, pattern.windows[0], XCB_GC_FOREGROUND, &black);
  for (int i = 0; i < 3; ++i) {
    const xcb_rectangle_t spot{static_cast<std::int16_t>(10 + 20 * i), 12, 5, 4};
    xcb_poly_fill_rectangle(client.Get(), pattern.windows[0], gc, 1, &spot);
    client.Sync();
    ASSERT_TRUE(changes.Take(damaged));
    EXPECT_TRUE(Covers(damaged, {110 + 20 * i, 92, 5, 4})) << i;
    for (const IntRect& r : damaged) {
      EXPECT_TRUE(r.x >= 100 && r.y >= 80 && r.x + r.width <= 164 && r.y + r.height <= 144)
          << r.x << "," << r.y << " " << r.width << "x" << r.height;
    }
    ASSERT_TRUE(changes.Take(damaged));
    EXPECT_TRUE(damaged.empty()) << i;
  }
  const cv::Mat drawn = CaptureScreenRegion(110, 92, 5, 4);
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(cv::countNonZero(drawn.reshape(1)), 0);

  // Moving a window changes the screen too.
  client.Move(pattern.windows[0], 300, 300);
  ASSERT_TRUE(changes.Take(damaged));
  EXPECT_TRUE(Covers(damaged, {300, 300, 64, 64}));

  // Paused, what is drawn meanwhile is not tracked: the next answer is "unknown".
  changes.Pause();
  client.Move(pattern.windows[0], 400, 300);
  EXPECT_FALSE(changes.Take(damaged));
  ASSERT_TRUE(changes.Take(damaged));

  // The server goes away and a new one comes: unknown until the tracking runs again.
  const int display = server_.Display();
  server_.Stop();
  pattern.process.Stop();
  EXPECT_FALSE(changes.Take(damaged));
  EXPECT_FALSE(changes.Take(damaged));
  ASSERT_TRUE(server_.Start(display));
  EXPECT_FALSE(changes.Take(damaged));
  EXPECT_TRUE(test::WaitUntil([&] { return changes.Take(damaged); }, 5s));
}

TEST_F(X11Display, ScreenBoundsAreTheRootWindowsSizeAndNothingWithoutADisplay) {
  const std::optional<IntRect> bounds = ScreenBounds();
  ASSERT_TRUE(bounds);
  EXPECT_EQ(*bounds, (IntRect{0, 0, 1280, 1024}));
  test::ScopedEnv noDisplay("DISPLAY", std::nullopt);
  x11::CloseThreadSession();
  EXPECT_FALSE(ScreenBounds());
  ScreenChanges changes;
  std::vector<IntRect> damaged{{1, 2, 3, 4}};
  EXPECT_FALSE(changes.Take(damaged));
  EXPECT_TRUE(damaged.empty());
}

TEST_F(X11Display, AViewCaptureIsTheSharedSegmentAndSurvivesTheServerGoing) {
  PatternProcess pattern = StartPattern({"--x", "100", "--y", "80"});
  ASSERT_EQ(pattern.windows.size(), 1u);
  cv::Mat copy;
  ASSERT_TRUE(CaptureScreenRegionInto(100, 80, 64, 64, copy));
  cv::Mat view;
  ASSERT_TRUE(CaptureScreenRegionView(100, 80, 64, 64, view));
  EXPECT_EQ(view.u, nullptr) << "the segment, not a buffer of its own";
  ASSERT_EQ(view.type(), CV_8UC4);
  EXPECT_EQ(cv::norm(view, copy, cv::NORM_INF), 0.0);
  // Partly off the screen: a copy with black outside.
  cv::Mat clipped;
  ASSERT_TRUE(CaptureScreenRegionView(1270, 0, 20, 10, clipped));
  EXPECT_NE(clipped.u, nullptr);
  EXPECT_EQ(cv::countNonZero(clipped(cv::Rect(10, 0, 10, 10)).reshape(1)), 0);

  // The server goes: captures fail, the process lives on, and no SIGPIPE is left pending.
  server_.Stop();
  pattern.process.Stop();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(CaptureScreenRegionView(100, 80, 64, 64, view));
  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(sigpending(&pending), 0);
  EXPECT_NE(sigismember(&pending, SIGPIPE), 1);
}

}  // namespace
}  // namespace tavrik
