// tavrik-pattern: the Windows test target. Opens one captioned top-level window whose client area
// shows ScenePixel, so captures can be checked pixel for pixel under a known process image name.
//
//   tavrik-pattern [--x N] [--y N] [--width N] [--height N] [--scale F] [--hidden] [--minimized]
//
// The client area is width x height; the window's outer corner is at (x, y). --scale draws the
// window as on a display of F x 96 DPI: the width x height scene resized by F (bicubic), in a
// client area F times as large. --hidden creates the window without showing it; --minimized
// shows it minimised. Once the window exists (and, when
// shown, is painted) the program prints "ready <hwnd> <client x> <client y>", the client corner
// in screen pixels as the window itself reads it, and runs until it is terminated.
// Sending the window the message WM_APP with wParam 0 or 1 repaints it with that scene variant
// before the send returns.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "tests/capture/pattern_scene.h"

namespace {

struct Options {
  int x = 200;
  int y = 150;
  int width = 320;
  int height = 240;
  bool hidden = false;
  bool minimized = false;
  double scale = 1.0;
};

struct Scene {
  int width = 0;  // of the scene as drawn
  int height = 0;
  int sceneWidth = 0;  // of the scene at 1x
  int sceneHeight = 0;
  double scale = 1.0;
  std::vector<std::uint32_t> pixels;  // top-down 0x00RRGGBB

  void Fill(int variant) {
    cv::Mat drawn(sceneHeight, sceneWidth, CV_8UC4);
    for (int row = 0; row < sceneHeight; ++row) {
      for (int col = 0; col < sceneWidth; ++col) {
        const tavrik::test::PatternBgr p = tavrik::test::ScenePixel(variant, col, row);
        drawn.at<cv::Vec4b>(row, col) = cv::Vec4b(p.b, p.g, p.r, 0);
      }
    }
    if (scale != 1.0) cv::resize(drawn, drawn, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    pixels.assign(drawn.ptr<std::uint32_t>(), drawn.ptr<std::uint32_t>() + drawn.total());
  }
};

Scene g_scene;

void Paint(HDC dc) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = g_scene.width;
  info.bmiHeader.biHeight = -g_scene.height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(g_scene.width), static_cast<DWORD>(g_scene.height),
                    0, 0, 0, static_cast<UINT>(g_scene.height), g_scene.pixels.data(), &info,
                    DIB_RGB_COLORS);
  GdiFlush();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      Paint(dc);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // the scene covers the whole client area
    case WM_APP:
      g_scene.Fill(wParam == 0 ? 0 : 1);
      InvalidateRect(window, nullptr, FALSE);
      UpdateWindow(window);
      return 1;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return true;
    };
    bool ok = true;
    if (arg == "--x") {
      ok = number(options.x);
    } else if (arg == "--y") {
      ok = number(options.y);
    } else if (arg == "--width") {
      ok = number(options.width);
    } else if (arg == "--height") {
      ok = number(options.height);
    } else if (arg == "--scale") {
      ok = i + 1 < argc;
      if (ok) options.scale = std::atof(argv[++i]);
    } else if (arg == "--hidden") {
      options.hidden = true;
    } else if (arg == "--minimized") {
      options.minimized = true;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "tavrik-pattern: bad argument %s\n", arg.c_str());
      return false;
    }
  }
  return options.width > 0 && options.height > 0 && options.scale >= 0.5 && options.scale <= 4.0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;
  // Positions and sizes in physical pixels, as the worker sees them.
  SetProcessDPIAware();
  g_scene.sceneWidth = options.width;
  g_scene.sceneHeight = options.height;
  g_scene.scale = options.scale;
  options.width = static_cast<int>(options.width * options.scale + 0.5);
  options.height = static_cast<int>(options.height * options.scale + 0.5);
  g_scene.width = options.width;
  g_scene.height = options.height;
  g_scene.Fill(0);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"TavrikPattern";
  if (RegisterClassW(&windowClass) == 0) return 1;

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT outer{0, 0, options.width, options.height};
  AdjustWindowRect(&outer, style, FALSE);
  const HWND window = CreateWindowExW(0, L"TavrikPattern", L"Tavrik pattern", style, options.x,
                                      options.y, outer.right - outer.left, outer.bottom - outer.top,
                                      nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  if (!options.hidden) {
    ShowWindow(window, options.minimized ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
    UpdateWindow(window);
  }
  // Let the first paint reach the screen before announcing the window.
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  POINT corner{0, 0};
  ClientToScreen(window, &corner);
  std::printf("ready %llu %ld %ld\n",
              static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(window)),
              static_cast<long>(corner.x), static_cast<long>(corner.y));
  std::fflush(stdout);

  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
