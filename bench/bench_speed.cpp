// The speed goals of the worker, each measured against its bare baseline in the same process and
// run (README, "Performance"). Every benchmark interleaves our path and the baseline iteration by
// iteration, so that load from elsewhere on the machine hits both alike, and reports both mean
// times and their ratio as counters. Run it with repetitions and random interleaving and read the
// medians (scripts/bench-speed.sh does exactly that):
//
//   bench_speed --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
//               --benchmark_report_aggregates_only=true
//
// Rows (Arg: the transform, an index into kBenchTransforms of bench/speed_fixtures.h):
//   BM_GreyEvaluation     capture + grey score + colour + decision + report of a 64x64 template
//                         in a 256x256 region of a screen whose pixels change every frame,
//                         against screen grab (bare MIT-SHM) + cvtColor + matchTemplate
//                         (TM_CCOEFF_NORMED) + minMaxLoc of the same region
//   BM_MaskedEvaluation   the same for a t2 template (colour, TM_CCORR_NORMED under its edge mask)
//                         on in-memory images that change every iteration, against the bare masked
//                         cv::matchTemplate + minMaxLoc of the same images
//   BM_PassOf100Changing  one pass (pause excluded) over 100 grey templates on 100 different 256²
//                         regions of a screen repainted before every pass; bare: the loop above
//                         100 times
//   BM_PassOf100Unchanged the same pass when nothing on the screen changed since the last one
//   BM_PassOf10Split      one pass over 10 grey or t2 templates on a changing screen, against the
//                         same pass reading the same pixels from memory: capture vs matching
//   BM_Capture            CaptureScreenRegionInto (BGRA, reused buffer) of 256² against a bare
//                         xcb_shm_get_image of the same rectangle
//   BM_Allocations        heap allocations per evaluation in the steady state (counted by
//                         replacing malloc and friends in this program): in the matcher and
//                         colour (the goal is 0) and in the whole turn including line and HitSlot
//
// Starts a private Xvfb when DISPLAY is unset.
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "bench/display_bench_main.h"
#include "bench/speed_fixtures.h"
#include "capture/screen_capture.h"
#include "capture/screen_changes.h"
#include "capture/x11_capture.h"
#include "detect/detection_loop.h"
#include "detect/evaluate.h"
#include "match/match_cache.h"
#include "detect/report.h"
#include "detect/template_prepare.h"
#include "match/transform.h"
#include "registry/template_registry.h"
#if TAVRIK_BENCH_FFTW
#include "match/transform_fftw.h"
#endif

// ---- allocation counter: every malloc-family call of the process while counting is on ----------
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
bool g_trap = false;  // TAVRIK_BENCH_TRAP_ALLOC set: stop in a debugger at a counted allocation
inline void Count() {
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (g_trap) __builtin_trap();
  }
}
}  // namespace
extern "C" {
void* malloc(std::size_t n) {
  Count();
  return __libc_malloc(n);
}
void* calloc(std::size_t a, std::size_t b) {
  Count();
  return __libc_calloc(a, b);
}
void* realloc(void* p, std::size_t n) {
  Count();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(std::size_t alignment, std::size_t n) {
  Count();
  return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
  Count();
  return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
  Count();
  *out = __libc_memalign(alignment, n);
  return *out == nullptr ? ENOMEM : 0;
}
}

namespace tavrik {
namespace {

using Clock = std::chrono::steady_clock;
using bench::BareBest;
using bench::BareMatch;
using bench::Frames;
using bench::FrameSource;
using bench::GreyTemplate;
using bench::GridTemplates;
using bench::kRegion;
using bench::kTemplate;
using bench::NoiseBgra;
using bench::PairedTiming;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

TransformKind KindArg(const benchmark::State& state) {
  return bench::kBenchTransforms[state.range(0)];
}

bool SkipIfUnavailable(benchmark::State& state) {
  if (!bench::TransformAvailable(KindArg(state))) {
    state.SkipWithError("transform not built into this program");
    return true;
  }
  return false;
}

// ---- the X side: a bare MIT-SHM client and a painter ----------------------------------------

struct BareShm {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  xcb_gcontext_t gc = 0;
  void* address = nullptr;
  xcb_shm_seg_t segment = 0;
  bool ok = false;

  BareShm() {
    int screenNumber = 0;
    c = xcb_connect(nullptr, &screenNumber);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
    root = screens.data->root;
    const std::size_t bytes = std::size_t{kRegion} * kRegion * 4;
    const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    address = shmat(shmId, nullptr, 0);
    segment = xcb_generate_id(c);
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(shmId), 0));
    shmctl(shmId, IPC_RMID, nullptr);
    gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, root, 0, nullptr);
    ok = error == nullptr && !xcb_connection_has_error(c);
    std::free(error);
  }
  ~BareShm() {
    shmdt(address);
    xcb_disconnect(c);
  }
  BareShm(const BareShm&) = delete;
  BareShm& operator=(const BareShm&) = delete;

  // The bare grab: one ShmGetImage and its reply; the pixels are then in `address`.
  void Get(int x, int y, int w, int h) {
    std::free(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, root, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h),
                          ~std::uint32_t{0}, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
        nullptr));
  }
  cv::Mat Pixels(int w, int h) const { return cv::Mat(h, w, CV_8UC4, address); }

  // Paints `bgra` (CV_8UC4) at (x, y) of the root window, in strips that fit one request.
  void Paint(const cv::Mat& bgra, int x, int y) {
    const int strip = std::max(1, 200000 / (bgra.cols * 4));
    for (int row = 0; row < bgra.rows; row += strip) {
      const int rows = std::min(strip, bgra.rows - row);
      const cv::Mat part = bgra.rowRange(row, row + rows).clone();
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, gc, static_cast<std::uint16_t>(part.cols),
                    static_cast<std::uint16_t>(rows), static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y + row), 0, 24,
                    static_cast<std::uint32_t>(part.total() * 4), part.data);
    }
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // wait for it
  }
};

BareShm& Bare() {
  static BareShm bare;
  return bare;
}

// Reports what `timing` summed over the iterations: mean times per iteration (in `unit` seconds)
// and both ratios.
void Report(benchmark::State& state, const PairedTiming& timing, double unit, const char* suffix) {
  const double n = static_cast<double>(state.iterations());
  state.counters[std::string("ours_") + suffix] = timing.ours() / n / unit;
  state.counters[std::string("ours_cpu_") + suffix] = timing.oursCpu() / n / unit;  // this process
  state.counters[std::string("bare_") + suffix] = timing.bare() / n / unit;
  state.counters["ratio"] = timing.ours() / timing.bare();
  state.counters["cpu_ratio"] = timing.oursCpu() / timing.bareCpu();
}

// ---- rows --------------------------------------------------------------------------------------

void BM_GreyEvaluation(benchmark::State& state) {
  if (SkipIfUnavailable(state)) return;
  BareShm& bare = Bare();
  if (!bare.ok) {
    state.SkipWithError("MIT-SHM unavailable");
    return;
  }
  Frames frames(kRegion, kRegion, 8);
  const auto info = GreyTemplate("general", frames.frames[0], 40, 50);
  info->rawRoi = info->roi = {0, 0, kRegion, kRegion};
  MatchCache cache;  // as the DetectionLoop keeps them: prepared once, not per evaluation
  const EvaluationEngine engine{nullptr, KindArg(state), &cache};
  const CaptureFunction capture = CaptureScreenRegionInto;
  const LogSink log;
  SharedCapture shared;
  Evaluation e;
  std::string error;
  cv::Mat grey;
  cv::Mat map;
  PairedTiming timing;
  for (auto _ : state) {
    bare.Paint(frames.Next(), 0, 0);
    timing.Ours([&] {
      shared.Forget();
      const EvaluationOutcome outcome = RunEvaluation(*info, capture, shared, engine, e, error);
      ReportOutcome(outcome, e, *info, error, log, nullptr);
      if (outcome != EvaluationOutcome::kDecided) state.SkipWithError("evaluation failed");
    });
    bare.Paint(frames.Next(), 0, 0);
    timing.Bare([&] {
      bare.Get(0, 0, kRegion, kRegion);
      cv::cvtColor(bare.Pixels(kRegion, kRegion), grey, cv::COLOR_BGRA2GRAY);
      cv::matchTemplate(grey, info->gray, map, cv::TM_CCOEFF_NORMED);
      BareBest(map);
    });
  }
  Report(state, timing, 1e-6, "us");
}

void BM_MaskedEvaluation(benchmark::State& state) {
  if (SkipIfUnavailable(state)) return;
  Frames frames(kRegion, kRegion, 8);
  std::vector<cv::Mat> bgr(frames.frames.size());
  for (std::size_t i = 0; i < bgr.size(); ++i)
    cv::cvtColor(frames.frames[i], bgr[i], cv::COLOR_BGRA2BGR);
  const auto masked = bench::MaskedTemplate(bgr);
  const TemplateInfo& info = *masked;
  MatchCache cache;  // as the DetectionLoop keeps them: prepared once, not per evaluation
  const EvaluationEngine engine{nullptr, KindArg(state), &cache};
  std::size_t index = 0;
  const CaptureFunction capture = FrameSource(frames.frames, index);
  const LogSink log;
  SharedCapture shared;
  Evaluation e;
  std::string error;
  cv::Mat map;
  PairedTiming timing;
  for (auto _ : state) {
    ++index;
    timing.Ours([&] {
      shared.Forget();
      const EvaluationOutcome outcome = RunEvaluation(info, capture, shared, engine, e, error);
      ReportOutcome(outcome, e, info, error, log, nullptr);
      if (outcome != EvaluationOutcome::kDecided) state.SkipWithError("evaluation failed");
    });
    timing.Bare([&] {
      cv::matchTemplate(bgr[index % bgr.size()], info.image, map, cv::TM_CCORR_NORMED,
                        info.edgeMask);
      BareBest(map);
    });
  }
  Report(state, timing, 1e-6, "us");
}

// `damage`: the loop learns from the DAMAGE extension which regions may have changed (as the
// worker does on X11); without it every region is read and compared in every pass.
void Pass100(benchmark::State& state, bool changing, bool damage = false) {
  if (SkipIfUnavailable(state)) return;
  BareShm& bare = Bare();
  if (!bare.ok) {
    state.SkipWithError("MIT-SHM unavailable");
    return;
  }
  GridTemplates h(1280, 1024);
  const LogSink log;
  DetectionContext context{h.registry, nullptr, log, CaptureScreenRegionView};
  context.transform = KindArg(state);
  ScreenChanges changes;
  if (damage) {
    context.damage = [&changes](std::vector<IntRect>* damaged) {
      return damaged != nullptr && changes.Take(*damaged);
    };
  }
  DetectionLoopState loopState = StartDetectionLoop(0);
  bare.Paint(h.screen, 0, 0);
  std::int64_t now = 0;
  // Prepares every template; the second pass is the first one the changes can vouch for.
  RunDetectionPass(context, loopState, [&] { return now; });
  RunDetectionPass(context, loopState, [&] { return now; });
  BareMatch match;
  PairedTiming timing;
  int frame = 0;
  const std::uint64_t preparedBefore = loopState.cache->Preparations();
  for (auto _ : state) {
    // Our passes alternate between two screens, so every pass sees every region changed.
    if (changing) bare.Paint(++frame % 2 == 1 ? h.screen2 : h.screen, 0, 0);
    now += 1'000'000;
    timing.Ours([&] { RunDetectionPass(context, loopState, [&] { return now; }); });
    timing.Bare([&] {
      for (const auto& info : h.infos) {
        bare.Get(info->rawRoi.x, info->rawRoi.y, kRegion, kRegion);
        match.Run(bare.Pixels(kRegion, kRegion), *info);
      }
    });
  }
  Report(state, timing, 1e-3, "ms");
  // The cache's stable subset: templates kept, and preparations per pass (0 once all fit).
  state.counters["kept"] = static_cast<double>(loopState.cache->Entries());
  state.counters["prepared_per_pass"] =
      static_cast<double>(loopState.cache->Preparations() - preparedBefore) /
      static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

// Where a pass's time goes: one pass over 10 templates (Arg 1: grey 0, t2 1) on their own 256²
// rectangles of a screen repainted before every pass, against the same pass reading the same
// pixels from memory. "bare" is then the matching alone, and ours - bare the capture.
void BM_PassOf10Split(benchmark::State& state) {
  if (SkipIfUnavailable(state)) return;
  BareShm& bare = Bare();
  if (!bare.ok) {
    state.SkipWithError("MIT-SHM unavailable");
    return;
  }
  GridTemplates h(1280, 1024, 10, state.range(1) == 1);
  const LogSink log;
  const cv::Mat* shown = &h.screen;
  DetectionContext screen{h.registry, nullptr, log, CaptureScreenRegionView};
  DetectionContext memory{h.registry, nullptr, log, bench::MemoryScreen(shown)};
  screen.transform = memory.transform = KindArg(state);
  DetectionLoopState screenLoop = StartDetectionLoop(0);
  DetectionLoopState memoryLoop = StartDetectionLoop(0);
  std::int64_t now = 0;
  const auto clock = [&] { return now; };
  bare.Paint(h.screen, 0, 0);
  RunDetectionPass(screen, screenLoop, clock);  // prepares the templates
  RunDetectionPass(memory, memoryLoop, clock);
  PairedTiming timing;
  for (auto _ : state) {
    shown = shown == &h.screen ? &h.screen2 : &h.screen;
    bare.Paint(*shown, 0, 0);
    now += 1'000'000;
    timing.Ours([&] { RunDetectionPass(screen, screenLoop, clock); });
    timing.Bare([&] { RunDetectionPass(memory, memoryLoop, clock); });
  }
  Report(state, timing, 1e-3, "ms");
}
void BM_PassOf100Changing(benchmark::State& state) { Pass100(state, true); }
void BM_PassOf100Unchanged(benchmark::State& state) { Pass100(state, false); }
void BM_PassOf100ChangingDamage(benchmark::State& state) { Pass100(state, true, true); }
void BM_PassOf100UnchangedDamage(benchmark::State& state) { Pass100(state, false, true); }

// Arg 0: the capture into the caller's buffer (one copy out of the segment); arg 1: the view the
// DetectionLoop takes (the segment itself when the rectangle is wholly on the screen).
void BM_Capture(benchmark::State& state) {
  const auto capture =
      state.range(0) == 1 ? x11::CaptureScreenRegionViewUsing : x11::CaptureScreenRegionIntoUsing;
  BareShm& bare = Bare();
  cv::Mat image;
  if (!bare.ok ||
      !x11::CaptureScreenRegionIntoUsing(x11::CaptureMethod::kShm, 0, 0, kRegion, kRegion, image)) {
    state.SkipWithError("MIT-SHM unavailable");
    return;
  }
  double ours = 0;
  double base = 0;
  bool bareFirst = true;
  for (auto _ : state) {
    // Alternately first and second: neither pays for waking the server more often.
    const auto timeBare = [&] {
      const auto t0 = Clock::now();
      bare.Get(0, 0, kRegion, kRegion);
      base += Seconds(t0, Clock::now());
    };
    const auto timeOurs = [&] {
      const auto t0 = Clock::now();
      capture(x11::CaptureMethod::kShm, 0, 0, kRegion, kRegion, image);
      benchmark::DoNotOptimize(image.data);
      ours += Seconds(t0, Clock::now());
    };
    if (bareFirst) {
      timeBare();
      timeOurs();
    } else {
      timeOurs();
      timeBare();
    }
    bareFirst = !bareFirst;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_us"] = ours / n * 1e6;
  state.counters["bare_us"] = base / n * 1e6;
  state.counters["ratio"] = ours / base;
}

// Allocations per evaluation once everything is prepared: grey (kind 0) and t2 (kind 1) on
// in-memory frames that change every time, so every evaluation really matches.
void BM_Allocations(benchmark::State& state) {
  if (SkipIfUnavailable(state)) return;
  const bool masked = state.range(1) == 1;
  Frames frames(kRegion, kRegion, 4);
  TemplateInfo info;
  info.name = masked ? "t2:alloc" : "general-template-with-a-long-name";
  cv::cvtColor(frames.frames[0](cv::Rect(40, 50, kTemplate, kTemplate)), info.image,
               cv::COLOR_BGRA2BGR);
  PrepareTemplate(info, 0.9f);
  info.rawRoi = info.roi = {0, 0, kRegion, kRegion};
  MatchCache cache;  // as the DetectionLoop keeps them: prepared once, not per evaluation
  const EvaluationEngine engine{nullptr, KindArg(state), &cache};
  std::size_t index = 0;
  const CaptureFunction capture = FrameSource(frames.frames, index);
  const LogSink log;
  SharedCapture shared;
  Evaluation e;
  std::string error;
  for (int i = 0; i < 8; ++i) {  // warm-up: plans, spectra, buffers
    ++index;
    shared.Forget();
    ReportOutcome(RunEvaluation(info, capture, shared, engine, e, error), e, info, error, log,
                  nullptr);
  }
  long evaluation = 0;
  long report = 0;
  for (auto _ : state) {
    ++index;
    shared.Forget();
    g_allocations = 0;
    g_counting = true;
    const EvaluationOutcome outcome = RunEvaluation(info, capture, shared, engine, e, error);
    g_counting = false;
    evaluation += g_allocations.load();
    g_allocations = 0;
    g_counting = true;
    ReportOutcome(outcome, e, info, error, log, nullptr);
    g_counting = false;
    report += g_allocations.load();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["evaluation_allocs"] = static_cast<double>(evaluation) / n;
  state.counters["report_allocs"] = static_cast<double>(report) / n;
}

constexpr int kLastTransform = bench::kBenchTransformCount - 1;
BENCHMARK(BM_GreyEvaluation)->DenseRange(0, kLastTransform)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MaskedEvaluation)->DenseRange(0, kLastTransform)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PassOf100Changing)
    ->DenseRange(0, kLastTransform)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_PassOf100Unchanged)
    ->DenseRange(0, kLastTransform)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_PassOf100ChangingDamage)
    ->DenseRange(0, kLastTransform)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_PassOf10Split)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kLastTransform, 1), {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassOf100UnchangedDamage)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Capture)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Allocations)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kLastTransform, 1), {0, 1}})
    ->Iterations(50);

}  // namespace
}  // namespace tavrik

int main(int argc, char** argv) {
  g_trap = std::getenv("TAVRIK_BENCH_TRAP_ALLOC") != nullptr;
#if TAVRIK_BENCH_FFTW
  tavrik::InstallFftwFactory(tavrik::MakeFftwTransform);
#endif
  return tavrik::bench::RunBenchmarksOnADisplay(argc, argv);
}
