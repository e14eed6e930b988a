// What the speed benchmarks of both backends share (bench_speed on X11, bench_speed_win under
// Windows or Wine): the sizes, the transforms compared, noise screens and templates cut from
// them, an in-memory screen source, the 100-template layout of a pass, and the paired timing of
// our path against its bare baseline. Nothing here touches a display.
//
// Threads: the benchmark's main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "detect/evaluate.h"
#include "match/transform.h"
#include "registry/template_info.h"
#include "registry/template_registry.h"

namespace tavrik::bench {

inline constexpr int kRegion = 256;
inline constexpr int kTemplate = 64;

// Every transform the speed benchmarks compare, in the order of their rows: a row's transform
// argument is an index into this list. A new TransformKind is added here and in
// TransformAvailable (which the compiler then insists on).
inline constexpr TransformKind kBenchTransforms[] = {TransformKind::kOpenCv, TransformKind::kFftw,
                                                     TransformKind::kPocketFft};
inline constexpr int kBenchTransformCount = static_cast<int>(std::size(kBenchTransforms));

// Whether this program can make transforms of `kind` (FFTW: only where it is linked and its
// factory installed).
bool TransformAvailable(TransformKind kind);

// Processor time of this whole process, every thread included (speed_fixtures_<os>.cpp): less
// disturbed by other load on the machine than elapsed time.
double ProcessCpuSeconds();

// Blurred colour noise, BGRA: some structure, like a real screen, and no two seeds alike.
cv::Mat NoiseBgra(int rows, int cols, std::uint64_t seed);

// A few noise frames shown in turn: the screen changes every frame.
struct Frames {
  std::vector<cv::Mat> frames;
  std::size_t next = 0;
  Frames(int rows, int cols, int count);
  const cv::Mat& Next() { return frames[next++ % frames.size()]; }
};

// A grey template cut at (x, y) out of `bgra`, prepared as an add command prepares it.
std::shared_ptr<TemplateInfo> GreyTemplate(const std::string& name, const cv::Mat& bgra, int x,
                                           int y);

// A t2 template (colour, scored under its edge mask) cut out of the first of `bgr`, watching a
// kRegion square.
std::shared_ptr<TemplateInfo> MaskedTemplate(const std::vector<cv::Mat>& bgr);

// A screen source that hands out frame `index` (mod the count) of `frames`; a capture is a copy.
CaptureFunction FrameSource(const std::vector<cv::Mat>& frames, const std::size_t& index);

// `count` (at most 100) templates, grey or t2 (`masked`), each watching its own kRegion square of
// a screen of `width` x `height` (at least kRegion + 9 each way): a 10 x 10 grid of rectangles
// 100 x 76 apart where the screen is large enough (1280 x 1024 and up), closer on a smaller one,
// filled row by row. `screen` and `screen2` are two different noise screens of that size; the
// templates are cut from `screen`.
struct GridTemplates {
  TemplateRegistry registry;
  std::vector<std::shared_ptr<TemplateInfo>> infos;
  cv::Mat screen;
  cv::Mat screen2;
  GridTemplates(int width, int height, int count = 100, bool masked = false);
};

// A screen source reading the rectangle out of `*screen` (BGRA), a pass's captures without a
// display: the pass then costs its matching alone.
CaptureFunction MemoryScreen(const cv::Mat* const& screen);

// The bare loop's work on the BGRA pixels of one template's rectangle: grey, TM_CCOEFF_NORMED
// and the best value for a grey template; BGR, TM_CCORR_NORMED under the edge mask and the best
// value for a t2 one. Buffers are kept from call to call.
struct BareMatch {
  cv::Mat converted;
  cv::Mat map;
  void Run(const cv::Mat& bgra, const TemplateInfo& info);
};

// The bare baseline's last step: the best value of a response map, kept from the optimiser.
void BareBest(const cv::Mat& map);

// Our path and its bare baseline, timed alternately in one loop, so that load from elsewhere on
// the machine hits both alike: elapsed and processor time of each, summed over the iterations.
class PairedTiming {
 public:
  template <typename F>
  void Ours(F&& run) {
    Time(run, ours_, oursCpu_);
  }
  template <typename F>
  void Bare(F&& run) {
    Time(run, bare_, bareCpu_);
  }
  double ours() const { return ours_; }
  double bare() const { return bare_; }
  double oursCpu() const { return oursCpu_; }
  double bareCpu() const { return bareCpu_; }

 private:
  template <typename F>
  static void Time(F& run, double& elapsed, double& processor) {
    const double c0 = ProcessCpuSeconds();
    const double t0 = WallSeconds();
    run();
    const double t1 = WallSeconds();
    processor += ProcessCpuSeconds() - c0;
    elapsed += t1 - t0;
  }
  static double WallSeconds();
  double ours_ = 0;
  double bare_ = 0;
  double oursCpu_ = 0;
  double bareCpu_ = 0;
};

}  // namespace tavrik::bench
