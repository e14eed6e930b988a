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
//   PassOf10Split      one pass over 10 grey or t2 templates on a window repainted before every
//                      pass, against the same pass reading the same pixels from memory: "bare" is
//                      the matching alone, ours - bare the capture
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
#include "bench/screen_window_win.h"
#include "bench/speed_fixtures.h"
#include "capture/screen_capture.h"
#include "detect/detection_loop.h"
#include "detect/evaluate.h"
#include "match/match_cache.h"
#include "detect/report.h"

namespace tavrik::bench {
namespace {

// The bare loop for one template whose rectangle has its corner at (x, y): grab, then match.
struct BareLoop {
  BareGdi gdi;
  BareMatch match;
  void Run(int x, int y, const TemplateInfo& info) {
    gdi.Get(x, y);
    match.Run(gdi.pixels, info);
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
    BareLoop bare;
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
    timing.Bare([&] { s->bare.Run(0, 0, *s->info); });
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
    GridTemplates h;
    DetectionContext context;
    DetectionLoopState loop = StartDetectionLoop(0);
    std::int64_t now = 0;
    const cv::Mat* shown = nullptr;
    BareLoop bare;
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
    s->shown = &s->h.screen;
    shared.window.Paint(*s->shown, 0, 0);
    s->Pass();
  };
  row->iterate = [s, changing, &shared](PairedTiming& timing) {
    // Always the other screen than the last one, so that every pass sees every region changed.
    if (changing) {
      s->shown = s->shown == &s->h.screen ? &s->h.screen2 : &s->h.screen;
      shared.window.Paint(*s->shown, 0, 0);
    }
    timing.Ours([&] { s->Pass(); });
    timing.Bare([&] {
      for (const auto& info : s->h.infos) s->bare.Run(info->rawRoi.x, info->rawRoi.y, *info);
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

// Where a pass's time goes: a pass over 10 grey or t2 templates on a window repainted before
// every pass, against the same pass reading the same pixels from memory ("bare": the matching
// alone; ours - bare: the capture).
std::unique_ptr<Row> SplitRow(Shared& shared, TransformKind kind, bool masked) {
  struct State {
    GridTemplates h;
    const cv::Mat* shown = &h.screen;
    DetectionContext screen;
    DetectionContext memory;
    DetectionLoopState screenLoop = StartDetectionLoop(0);
    DetectionLoopState memoryLoop = StartDetectionLoop(0);
    std::int64_t now = 0;
    State(Shared& shared, bool masked)
        : h(shared.window.width(), shared.window.height(), 10, masked),
          screen{h.registry, nullptr, shared.log, CaptureScreenRegionView},
          memory{h.registry, nullptr, shared.log, MemoryScreen(shown)} {}
    void Pass(DetectionContext& context, DetectionLoopState& loop) {
      RunDetectionPass(context, loop, [this] { return now; });
    }
  };
  auto s = std::make_shared<State>(shared, masked);
  s->screen.transform = s->memory.transform = kind;
  auto row = std::make_unique<Row>();
  row->name = std::string("PassOf10Split/") + TransformName(kind) + (masked ? "/t2" : "/grey");
  row->unit = 1e-3;
  row->unitName = "ms";
  row->prepare = [s, &shared] {
    shared.window.Paint(*s->shown, 0, 0);
    s->Pass(s->screen, s->screenLoop);
    s->Pass(s->memory, s->memoryLoop);
  };
  row->iterate = [s, &shared](PairedTiming& timing) {
    s->shown = s->shown == &s->h.screen ? &s->h.screen2 : &s->h.screen;
    shared.window.Paint(*s->shown, 0, 0);
    s->now += 1'000'000;
    timing.Ours([&] { s->Pass(s->screen, s->screenLoop); });
    timing.Bare([&] { s->Pass(s->memory, s->memoryLoop); });
  };
  return row;
}

// How many captures it takes until a freshly painted rectangle shows exactly what was painted
// (1: at once, as the rows assume), or 0 when it never does within a second: then every figure
// would be about a screen the window never reached.
int CapturesUntilPainted(ScreenWindow& window) {
  const cv::Mat noise = NoiseBgra(kRegion, kRegion, 99);
  window.Paint(noise, 0, 0);
  cv::Mat expected;
  cv::cvtColor(noise, expected, cv::COLOR_BGRA2BGR);
  cv::Mat captured;
  cv::Mat bgr;
  for (int attempt = 1; attempt <= 50; ++attempt) {
    if (CaptureScreenRegionInto(0, 0, kRegion, kRegion, captured)) {
      cv::cvtColor(captured, bgr, cv::COLOR_BGRA2BGR);
      if (cv::norm(bgr, expected, cv::NORM_INF) == 0) return attempt;
    }
    Sleep(20);
  }
  return 0;
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
  const int captures = CapturesUntilPainted(window);
  if (captures == 0) {
    std::fprintf(stderr, "bench_speed_win: the screen does not show what the window painted\n");
    return 1;
  }
  if (captures > 1) std::printf("note: a painted rectangle showed only at capture %d\n", captures);
  Shared shared{window, LogSink{}};
  std::vector<std::unique_ptr<Row>> rows;
  for (const TransformKind kind : kBenchTransforms) {
    if (!TransformAvailable(kind)) continue;
    rows.push_back(GreyEvaluationRow(shared, kind));
    rows.push_back(MaskedEvaluationRow(shared, kind));
    rows.push_back(PassRow(shared, kind, true));
    rows.push_back(PassRow(shared, kind, false));
    rows.push_back(SplitRow(shared, kind, false));
    rows.push_back(SplitRow(shared, kind, true));
  }
  rows.push_back(CaptureRow(shared));
  RunInterleaved(rows, reps, minIterations, minSeconds);
  PrintTable(rows, reps);
  return 0;
}

}  // namespace
}  // namespace tavrik::bench

int main(int argc, char** argv) { return tavrik::bench::Main(argc, argv); }
