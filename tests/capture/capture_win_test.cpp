// Window lookup, client origin, DPI and GDI capture against real top-level windows: notepad and
// tavrik-pattern.exe, whose client area shows a known scene.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <opencv2/core.hpp>
#include <string>

#include "capture/image_name.h"
#include "capture/screen_capture.h"
#include "capture/target_window.h"
#include "tests/capture/pattern_target_win.h"
#include "tests/support/import_patch_win.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
using test::kPatternImageName;
using test::PatternTarget;
using test::StartPatternTarget;
using test::WaitUntil;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

HWND AsHwnd(NativeWindowId id) { return reinterpret_cast<HWND>(id); }

// "" when equal, else where and how the images differ.
std::string Difference(const cv::Mat& got, const cv::Mat& expected) {
  if (got.empty()) return "empty capture";
  if (got.type() != CV_8UC3) return "type " + std::to_string(got.type());
  if (got.size() != expected.size()) {
    return "size " + std::to_string(got.cols) + "x" + std::to_string(got.rows);
  }
  for (int row = 0; row < got.rows; ++row) {
    for (int col = 0; col < got.cols; ++col) {
      const cv::Vec3b a = got.at<cv::Vec3b>(row, col);
      const cv::Vec3b b = expected.at<cv::Vec3b>(row, col);
      if (a != b) {
        return "pixel (" + std::to_string(col) + "," + std::to_string(row) + ") is " +
               std::to_string(a[0]) + "/" + std::to_string(a[1]) + "/" + std::to_string(a[2]) +
               ", expected " + std::to_string(b[0]) + "/" + std::to_string(b[1]) + "/" +
               std::to_string(b[2]);
      }
    }
  }
  return "";
}

// Captures until the screen shows `expected` (the target may still be reaching the screen).
std::string CaptureDifference(int x, int y, const cv::Mat& expected) {
  std::string last;
  WaitUntil(
      [&] {
        last = Difference(CaptureScreenRegion(x, y, expected.cols, expected.rows), expected);
        return last.empty();
      },
      5s);
  return last;
}

std::vector<std::string> Geometry(int x, int y) {
  return {"--x",     std::to_string(x),      "--y",      std::to_string(y),
          "--width", std::to_string(kWidth), "--height", std::to_string(kHeight)};
}

TEST(WinWindowLookup, FindsTheTargetByImageNameAndReadsItsClientOrigin) {
  PatternTarget target = StartPatternTarget(Geometry(200, 150));
  ASSERT_TRUE(target.Ready());
  EXPECT_EQ(AsHwnd(FindTargetWindow(kPatternImageName)), target.window);
  EXPECT_EQ(AsHwnd(FindTargetWindow(NormalizeImageName(u"TAVRIK-PATTERN.EXE"))), target.window);
  EXPECT_EQ(FindTargetWindow(u"tavrik-patter"), 0u);
  EXPECT_TRUE(ProcessMatchesName(target.process.Id(), kPatternImageName));
  EXPECT_FALSE(ProcessMatchesName(target.process.Id(), u"tavrik-pattern.exe"));

  WindowOrigin origin{-1, -1};
  std::int32_t dpi = -7;
  ASSERT_TRUE(LocateTargetWindow(kPatternImageName, origin, &dpi));
  EXPECT_EQ(origin.x, target.clientX);
  EXPECT_EQ(origin.y, target.clientY);
  // The window has a caption: its client corner lies inside and below its outer corner.
  RECT outer{};
  ASSERT_TRUE(GetWindowRect(target.window, &outer));
  EXPECT_GE(origin.x, outer.left);
  EXPECT_GT(origin.y, outer.top);

  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  ASSERT_NE(getDpiForWindow, nullptr) << "this system's user32 lacks GetDpiForWindow";
  EXPECT_EQ(dpi, static_cast<std::int32_t>(getDpiForWindow(target.window)));
  EXPECT_GT(dpi, 0);

  // Without a DPI output only the origin is produced.
  WindowOrigin again{};
  EXPECT_TRUE(LocateTargetWindow(kPatternImageName, again, nullptr));
  EXPECT_EQ(again.x, origin.x);
  EXPECT_EQ(again.y, origin.y);
}

TEST(WinWindowLookup, FailuresLeaveTheOutputsAlone) {
  WindowOrigin origin{11, 22};
  std::int32_t dpi = 33;
  EXPECT_FALSE(LocateTargetWindow(u"", origin, &dpi));
  EXPECT_FALSE(LocateTargetWindow(u"no-such-program", origin, &dpi));
  EXPECT_EQ(origin.x, 11);
  EXPECT_EQ(origin.y, 22);
  EXPECT_EQ(dpi, 33);
}

TEST(WinWindowLookup, HiddenWindowsAreNeverFound) {
  PatternTarget target = StartPatternTarget({"--hidden"});
  ASSERT_TRUE(target.Ready());
  EXPECT_TRUE(ProcessMatchesName(target.process.Id(), kPatternImageName));
  EXPECT_EQ(FindTargetWindow(kPatternImageName), 0u);
}

TEST(WinWindowLookup, RestoresAMinimisedTargetBeforeReadingItsOrigin) {
  PatternTarget target = StartPatternTarget(Geometry(240, 180));
  ASSERT_TRUE(target.Ready());
  ShowWindow(target.window, SW_MINIMIZE);
  ASSERT_TRUE(WaitUntil([&] { return IsIconic(target.window) != FALSE; }, 5s));

  WindowOrigin origin{};
  ASSERT_TRUE(LocateTargetWindow(kPatternImageName, origin, nullptr));
  EXPECT_FALSE(IsIconic(target.window));
  EXPECT_EQ(origin.x, target.clientX);
  EXPECT_EQ(origin.y, target.clientY);
  EXPECT_EQ(CaptureDifference(origin.x, origin.y, test::SceneImage(0, kWidth, kHeight)), "");
}

TEST(WinWindowLookup, FindsNotepadStartedByItsImageName) {
  test::ChildProcess notepad = test::ChildProcess::Start("notepad.exe", {});
  ASSERT_TRUE(notepad.Started());
  ASSERT_TRUE(WaitUntil([] { return FindTargetWindow(u"notepad") != 0; }, 60s));
  const HWND window = AsHwnd(FindTargetWindow(NormalizeImageName(u"Notepad.EXE")));
  ASSERT_NE(window, nullptr);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  EXPECT_EQ(pid, notepad.Id());

  WindowOrigin origin{};
  std::int32_t dpi = 0;
  ASSERT_TRUE(LocateTargetWindow(u"notepad", origin, &dpi));
  POINT corner{0, 0};
  ASSERT_TRUE(ClientToScreen(window, &corner));
  EXPECT_EQ(origin.x, corner.x);
  EXPECT_EQ(origin.y, corner.y);
  EXPECT_GT(dpi, 0);
}

TEST(WinCapture, CapturesThePaintedSceneExactly) {
  PatternTarget target = StartPatternTarget(Geometry(200, 150));
  ASSERT_TRUE(target.Ready());
  const cv::Mat scene = test::SceneImage(0, kWidth, kHeight);
  EXPECT_EQ(CaptureDifference(target.clientX, target.clientY, scene), "");
  // A part of it: rows top first, columns left first, channels blue, green, red.
  const cv::Rect part(37, 21, 50, 30);
  EXPECT_EQ(CaptureDifference(target.clientX + part.x, target.clientY + part.y, scene(part)), "");
  const cv::Mat one = CaptureScreenRegion(target.clientX + 5, target.clientY + 9, 1, 1);
  ASSERT_EQ(one.rows, 1);
  ASSERT_EQ(one.cols, 1);
  ASSERT_EQ(one.type(), CV_8UC3);
  EXPECT_EQ(one.at<cv::Vec3b>(0, 0), scene.at<cv::Vec3b>(9, 5));

  // Switching the scene changes what is captured.
  SendMessageW(target.window, WM_APP, 1, 0);
  EXPECT_EQ(CaptureDifference(target.clientX, target.clientY, test::SceneImage(1, kWidth, kHeight)),
            "");
}

TEST(WinCapture, PartsOutsideTheScreenComeOutBlack) {
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  ASSERT_GT(screenWidth, kWidth);
  // The client area hangs over the right and bottom edges of the screen.
  PatternTarget target = StartPatternTarget(Geometry(screenWidth - 120, screenHeight - 100));
  ASSERT_TRUE(target.Ready());
  const int visibleCols = screenWidth - target.clientX;
  const int visibleRows = screenHeight - target.clientY;
  ASSERT_GT(visibleCols, 0);
  ASSERT_LT(visibleCols, kWidth);
  ASSERT_GT(visibleRows, 0);
  ASSERT_LT(visibleRows, kHeight);

  cv::Mat expected = test::SceneImage(0, kWidth, kHeight);
  expected.colRange(visibleCols, kWidth).setTo(cv::Scalar::all(0));
  expected.rowRange(visibleRows, kHeight).setTo(cv::Scalar::all(0));
  EXPECT_EQ(CaptureDifference(target.clientX, target.clientY, expected), "");

  // Left of and above the screen's corner.
  const cv::Mat corner = CaptureScreenRegion(-8, -6, 16, 12);
  ASSERT_EQ(corner.size(), cv::Size(16, 12));
  EXPECT_EQ(cv::countNonZero(corner.colRange(0, 8).reshape(1)), 0);
  EXPECT_EQ(cv::countNonZero(corner.rowRange(0, 6).reshape(1)), 0);
}

// What a locked workstation or a secure desktop does to a screen copy.
BOOL WINAPI RefusedBitBlt(HDC, int, int, int, int, HDC, int, int, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
int WINAPI RefusedGetDIBits(HDC, HBITMAP, UINT, UINT, LPVOID, LPBITMAPINFO, UINT) { return 0; }

TEST(WinCapture, ARefusedScreenCopyOrPixelReadIsAFailedCaptureNotABlackImage) {
  PatternTarget target = StartPatternTarget(Geometry(200, 150));
  ASSERT_TRUE(target.Ready());
  const cv::Mat scene = test::SceneImage(0, kWidth, kHeight);
  ASSERT_EQ(CaptureDifference(target.clientX, target.clientY, scene), "");
  {
    test::ScopedImportPatch copy("gdi32.dll", "BitBlt", reinterpret_cast<void*>(RefusedBitBlt));
    ASSERT_TRUE(copy.Active());
    EXPECT_TRUE(CaptureScreenRegion(target.clientX, target.clientY, kWidth, kHeight).empty());
  }
  {
    test::ScopedImportPatch read("gdi32.dll", "GetDIBits",
                                 reinterpret_cast<void*>(RefusedGetDIBits));
    ASSERT_TRUE(read.Active());
    EXPECT_TRUE(CaptureScreenRegion(target.clientX, target.clientY, kWidth, kHeight).empty());
  }
  // The real calls are back: the scene again.
  EXPECT_EQ(CaptureDifference(target.clientX, target.clientY, scene), "");
}

// What a driver that enforces GetDIBits's rule does: a bitmap still selected into the device
// context it is read through is not read at all.
int WINAPI StrictGetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits,
                           LPBITMAPINFO info, UINT usage) {
  if (GetCurrentObject(dc, OBJ_BITMAP) == bitmap) return 0;
  static const auto real = reinterpret_cast<decltype(&GetDIBits)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"gdi32.dll"), "GetDIBits")));
  return real(dc, bitmap, start, lines, bits, info, usage);
}

TEST(WinCapture, ThePixelsAreReadOnceTheBitmapIsSelectedIntoNoContext) {
  PatternTarget target = StartPatternTarget(Geometry(200, 150));
  ASSERT_TRUE(target.Ready());
  test::ScopedImportPatch read("gdi32.dll", "GetDIBits", reinterpret_cast<void*>(StrictGetDIBits));
  ASSERT_TRUE(read.Active());
  EXPECT_EQ(CaptureDifference(target.clientX, target.clientY, test::SceneImage(0, kWidth, kHeight)),
            "");
}

TEST(WinCapture, SizesBelowOnePixelGiveEmptyImages) {
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 0, 10).empty());
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 10, -1).empty());
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 100000, 100000).empty());
}

}  // namespace
}  // namespace tavrik
