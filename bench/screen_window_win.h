// What the Win32 speed benchmark draws and reads the screen with: a window of its own to capture
// from, and the cheapest GDI grab as the bare baseline of a capture.
//
// Threads: the thread that made the window (it pumps the window's messages itself).
#pragma once

#include <windows.h>

#include <opencv2/core/mat.hpp>

#include "base/geometry.h"
#include "bench/speed_fixtures.h"

namespace tavrik::bench {

// A borderless topmost window over the whole virtual screen showing `canvas` (BGRA).
class ScreenWindow {
 public:
  ScreenWindow() {
    origin_ = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN)};
    canvas_ = cv::Mat::zeros(GetSystemMetrics(SM_CYVIRTUALSCREEN),
                             GetSystemMetrics(SM_CXVIRTUALSCREEN), CV_8UC4);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TavrikBenchScreen";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"TavrikBenchScreen", L"bench",
                              WS_POPUP, origin_.x, origin_.y, canvas_.cols, canvas_.rows, nullptr,
                              nullptr, windowClass.hInstance, this);
    if (window_ == nullptr) return;
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    Pump();
  }
  ~ScreenWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  ScreenWindow(const ScreenWindow&) = delete;
  ScreenWindow& operator=(const ScreenWindow&) = delete;

  bool ok() const { return window_ != nullptr && !canvas_.empty(); }
  int width() const { return canvas_.cols; }
  int height() const { return canvas_.rows; }
  IntPoint origin() const { return origin_; }

  // Shows `bgra` with its corner at (x, y) of the window and returns once it is painted.
  void Paint(const cv::Mat& bgra, int x, int y) {
    const cv::Rect area = cv::Rect(x, y, bgra.cols, bgra.rows) & cv::Rect(0, 0, width(), height());
    bgra(area - cv::Point(x, y)).copyTo(canvas_(area));
    const RECT rect{area.x, area.y, area.x + area.width, area.y + area.height};
    InvalidateRect(window_, &rect, FALSE);
    UpdateWindow(window_);
    GdiFlush();
    Pump();
  }
  const cv::Mat& canvas() const { return canvas_; }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<ScreenWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_ERASEBKGND) return 1;  // the canvas covers everything
    if (message == WM_PAINT && self != nullptr) {
      PAINTSTRUCT ps;
      const HDC dc = BeginPaint(window, &ps);
      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      info.bmiHeader.biWidth = self->canvas_.cols;
      info.bmiHeader.biHeight = -self->canvas_.rows;  // top-down
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      info.bmiHeader.biCompression = BI_RGB;
      SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(self->canvas_.cols),
                        static_cast<DWORD>(self->canvas_.rows), 0, 0, 0,
                        static_cast<UINT>(self->canvas_.rows), self->canvas_.data, &info,
                        DIB_RGB_COLORS);
      EndPaint(window, &ps);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
  static void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }

  HWND window_ = nullptr;
  IntPoint origin_;
  cv::Mat canvas_;
};

// The bare grab: a screen context, a memory context and a DIB section made once; a capture is
// one BitBlt, after which the pixels are in `pixels`.
class BareGdi {
 public:
  BareGdi() {
    screen_ = GetDC(nullptr);
    memory_ = CreateCompatibleDC(screen_);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kRegion;
    info.bmiHeader.biHeight = -kRegion;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(memory_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap_ == nullptr) return;
    previous_ = SelectObject(memory_, bitmap_);
    pixels = cv::Mat(kRegion, kRegion, CV_8UC4, bits);
  }
  ~BareGdi() {
    if (previous_ != nullptr) SelectObject(memory_, previous_);
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
    if (memory_ != nullptr) DeleteDC(memory_);
    if (screen_ != nullptr) ReleaseDC(nullptr, screen_);
  }
  BareGdi(const BareGdi&) = delete;
  BareGdi& operator=(const BareGdi&) = delete;

  void Get(int x, int y) {
    BitBlt(memory_, 0, 0, kRegion, kRegion, screen_, x, y, SRCCOPY | CAPTUREBLT);
    GdiFlush();
  }
  cv::Mat pixels;

 private:
  HDC screen_ = nullptr;
  HDC memory_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
};

}  // namespace tavrik::bench
