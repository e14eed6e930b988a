// The speed goals of the Win32 worker, each measured against its bare baseline in the same
// process, as bench_speed measures the X11 worker (README, "Performance"). Google Benchmark is
// not packaged for mingw, so this program has its own harness: every repetition runs each row in
// a new random order, a row's iterations alternate our path and the baseline, and the table shows
// the median over the repetitions of each mean and of each ratio.
//
//   bench_speed_win [--reps N] [--min-time SECONDS] [--quick]
//
// --quick (the CI run under Wine) runs every row twice, once: it proves that the program works,
// not how fast it is. The program draws its own screen: a borderless window covering the whole
// screen, painted with noise through GDI, and captures from it through the worker's GDI path.
//
// Rows (one per transform of kBenchTransforms that this program can make):
//   GreyEvaluation     capture + grey score + colour + decision + report of a 64x64 template in a
//                      256x256 region of the window, repainted with new noise before every
//                      evaluation, against a bare GDI grab (one BitBlt into a kept DIB section)
//                      + cvtColor + matchTemplate (TM_CCOEFF_NORMED) + minMaxLoc
//   MaskedEvaluation   the same for a t2 template on in-memory frames, against the bare masked
//                      matchTemplate (TM_CCORR_NORMED under its edge mask) + minMaxLoc
//   PassOf100Changing  one pass (pause excluded) over 100 grey templates on 100 different 256²
//                      rectangles of a window repainted before every pass; bare: the grey loop
//                      above 100 times
//   PassOf100Unchanged the same pass when nothing was drawn since the last one: Windows tells the
//                      loop nothing about changes, so every rectangle is read and compared
//   Capture            CaptureScreenRegionInto of 256² against the bare GDI grab alone
//
// Exit status 1 when the window cannot be made or the screen does not show what it painted.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "bench/interleaved_runner.h"
#include "bench/speed_fixtures.h"
#include "capture/screen_capture.h"
#include "detect/detection_loop.h"
#include "detect/evaluate.h"
#include "detect/match_cache.h"
#include "detect/report.h"

namespace tavrik::bench {
namespace {

// ---- the Windows side: a window to capture from, and the cheapest GDI grab ------------------

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

// The bare grey loop for the rectangle at (x, y): grab, grey, match, best value.
struct BareGrey {
  BareGdi gdi;
  cv::Mat grey;
  cv::Mat map;
  void Run(int x, int y, const cv::Mat& templ) {
    gdi.Get(x, y);
    cv::cvtColor(gdi.pixels, grey, cv::COLOR_BGRA2GRAY);
    cv::matchTemplate(grey, templ, map, cv::TM_CCOEFF_NORMED);
    BareBest(map);
  }
};

// ---- rows --------------------------------------------------------------------------------------

struct Shared {
  ScreenWindow& window;
  LogSink log;
};

std::unique_ptr<Row> GreyEvaluationRow(Shared& shared, TransformKind kind) {
  struct State {
    Frames frames{kRegion, kRegion, 8};
    std::shared_ptr<TemplateInfo> info;
    MatchCache cache;
    SharedCapture capture;
    Evaluation e;
    std::string error;
    BareGrey bare;
  };
  auto s = std::make_shared<State>();
  s->info = GreyTemplate("general", s->frames.frames[0], 40, 50);
  s->info->rawRoi = s->info->roi = {0, 0, kRegion, kRegion};
  auto row = std::make_unique<Row>();
  row->name = std::string("GreyEvaluation/") + TransformName(kind);
  row->iterate = [s, kind, &shared](PairedTiming& timing) {
    const EvaluationEngine engine{nullptr, kind, &s->cache};
    const CaptureFunction capture = CaptureScreenRegionInto;
    shared.window.Paint(s->frames.Next(), 0, 0);
    timing.Ours([&] {
      s->capture.Forget();
      const auto outcome = RunEvaluation(*s->info, capture, s->capture, engine, s->e, s->error);
      ReportOutcome(outcome, s->e, *s->info, s->error, shared.log, nullptr);
    });
    shared.window.Paint(s->frames.Next(), 0, 0);
    timing.Bare([&] { s->bare.Run(0, 0, s->info->gray); });
  };
  return row;
}

std::unique_ptr<Row> MaskedEvaluationRow(Shared& shared, TransformKind kind) {
  struct State {
    std::vector<cv::Mat> bgr;
    std::shared_ptr<TemplateInfo> info;
    std::size_t index = 0;
    CaptureFunction source;
    MatchCache cache;
    SharedCapture capture;
    Evaluation e;
    std::string error;
    cv::Mat map;
  };
  auto s = std::make_shared<State>();
  for (const cv::Mat& frame : Frames(kRegion, kRegion, 8).frames) {
    s->bgr.emplace_back();
    cv::cvtColor(frame, s->bgr.back(), cv::COLOR_BGRA2BGR);
  }
  s->info = MaskedTemplate(s->bgr);
  s->source = FrameSource(s->bgr, s->index);
  auto row = std::make_unique<Row>();
  row->name = std::string("MaskedEvaluation/") + TransformName(kind);
  row->iterate = [s, kind, &shared](PairedTiming& timing) {
    const EvaluationEngine engine{nullptr, kind, &s->cache};
    ++s->index;
    timing.Ours([&] {
      s->capture.Forget();
      const auto outcome = RunEvaluation(*s->info, s->source, s->capture, engine, s->e, s->error);
      ReportOutcome(outcome, s->e, *s->info, s->error, shared.log, nullptr);
    });
    timing.Bare([&] {
      cv::matchTemplate(s->bgr[s->index % s->bgr.size()], s->info->image, s->map,
                        cv::TM_CCORR_NORMED, s->info->edgeMask);
      BareBest(s->map);
    });
  };
  return row;
}

std::unique_ptr<Row> PassRow(Shared& shared, TransformKind kind, bool changing) {
  struct State {
    HundredTemplates h;
    DetectionContext context;
    DetectionLoopState loop = StartDetectionLoop(0);
    std::int64_t now = 0;
    int frame = 0;
    BareGrey bare;
    State(Shared& shared, int width, int height)
        : h(width, height), context{h.registry, nullptr, shared.log, CaptureScreenRegionView} {}
    void Pass() {
      now += 1'000'000;
      RunDetectionPass(context, loop, [this] { return now; });
    }
  };
  auto s = std::make_shared<State>(shared, shared.window.width(), shared.window.height());
  s->context.transform = kind;
  auto row = std::make_unique<Row>();
  row->name =
      std::string(changing ? "PassOf100Changing/" : "PassOf100Unchanged/") + TransformName(kind);
  row->unit = 1e-3;
  row->unitName = "ms";
  // Another row may have drawn since: show this row's screen and let the loop read it once.
  row->prepare = [s, &shared] {
    shared.window.Paint(s->h.screen, 0, 0);
    s->Pass();
  };
  row->iterate = [s, changing, &shared](PairedTiming& timing) {
    if (changing) shared.window.Paint(++s->frame % 2 == 1 ? s->h.screen2 : s->h.screen, 0, 0);
    timing.Ours([&] { s->Pass(); });
    timing.Bare([&] {
      for (const auto& info : s->h.infos) s->bare.Run(info->rawRoi.x, info->rawRoi.y, info->gray);
    });
  };
  return row;
}

std::unique_ptr<Row> CaptureRow(Shared& shared) {
  struct State {
    BareGdi bare;
    cv::Mat image;
    bool bareFirst = true;
  };
  auto s = std::make_shared<State>();
  auto row = std::make_unique<Row>();
  row->name = "Capture";
  row->prepare = [&shared] { shared.window.Paint(NoiseBgra(kRegion, kRegion, 3), 0, 0); };
  row->iterate = [s](PairedTiming& timing) {
    // Alternately first and second: neither pays for waking the server more often.
    const auto ours = [&] { CaptureScreenRegionInto(0, 0, kRegion, kRegion, s->image); };
    const auto bare = [&] { s->bare.Get(0, 0); };
    if (s->bareFirst) {
      timing.Bare(bare);
      timing.Ours(ours);
    } else {
      timing.Ours(ours);
      timing.Bare(bare);
    }
    s->bareFirst = !s->bareFirst;
  };
  return row;
}

// True when a capture of a freshly painted rectangle shows exactly what was painted: otherwise
// every figure would be about a screen the window never reached.
bool ScreenShowsWindow(ScreenWindow& window) {
  const cv::Mat noise = NoiseBgra(kRegion, kRegion, 99);
  window.Paint(noise, 0, 0);
  cv::Mat captured;
  if (!CaptureScreenRegionInto(0, 0, kRegion, kRegion, captured)) return false;
  cv::Mat a;
  cv::Mat b;
  cv::cvtColor(captured, a, cv::COLOR_BGRA2BGR);
  cv::cvtColor(noise, b, cv::COLOR_BGRA2BGR);
  return cv::norm(a, b, cv::NORM_INF) == 0;
}

int Main(int argc, char** argv) {
  int reps = 9;
  double minSeconds = 1.0;
  int minIterations = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      reps = 1;
      minSeconds = 0;
      minIterations = 2;
    } else if (arg == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--min-time" && i + 1 < argc) {
      minSeconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_speed_win [--reps N] [--min-time SECONDS] [--quick]\n");
      return 2;
    }
  }
  SetProcessDPIAware();  // positions and sizes in physical pixels, as the worker sees them
  ScreenWindow window;
  // The rows address the window's pixels in screen coordinates: the screen must start at (0, 0).
  if (!window.ok() || window.origin().x != 0 || window.origin().y != 0 ||
      window.width() < kRegion + 9 || window.height() < kRegion + 9) {
    std::fprintf(stderr, "bench_speed_win: cannot cover a screen with its corner at (0, 0)\n");
    return 1;
  }
  if (!ScreenShowsWindow(window)) {
    std::fprintf(stderr, "bench_speed_win: the screen does not show what the window painted\n");
    return 1;
  }
  Shared shared{window, LogSink{}};
  std::vector<std::unique_ptr<Row>> rows;
  for (const TransformKind kind : kBenchTransforms) {
    if (!TransformAvailable(kind)) continue;
    rows.push_back(GreyEvaluationRow(shared, kind));
    rows.push_back(MaskedEvaluationRow(shared, kind));
    rows.push_back(PassRow(shared, kind, true));
    rows.push_back(PassRow(shared, kind, false));
  }
  rows.push_back(CaptureRow(shared));
  RunInterleaved(rows, reps, minIterations, minSeconds);
  PrintTable(rows, reps);
  return 0;
}

}  // namespace
}  // namespace tavrik::bench

int main(int argc, char** argv) { return tavrik::bench::Main(argc, argv); }
