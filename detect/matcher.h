// The response map of one template over one captured region: a small correlation engine of its
// own, with everything that depends only on the template prepared once.
//
// Three normalised methods, as the worker scores them:
//   grey TM_CCOEFF_NORMED and TM_SQDIFF_NORMED (cv::matchTemplate's definitions and guards), and
//   colour TM_CCORR_NORMED under a 0/1 mask (kind t2: the edge mask).
// The correlations are computed by tiles of Fourier transforms in double precision and rounded to
// the exact integers they are (8-bit pixels against 8-bit templates and 0/1 masks), so every map
// value is what the plain sums over the placement give, whichever transform runs, up to the last
// rounding of the normalisation. That is the matcher's contract; tests/detect/
// match_differential_test.cpp holds it to a direct double-precision computation within 1e-5.
//
// Every normalised value passes one guard (GuardedScore), the one cv::matchTemplate applies to its
// unmasked normalised methods: a placement whose window carries no energy, or whose quotient is
// not finite, carries no evidence and scores 0 (1 for squared difference, which counts as the
// worst score). No NaN or infinity ever leaves this unit.
//
// Work per template and region: the region's forward spectra (shared by the templates of the same
// size that read the same rectangle), one product and one inverse per term, the normalisation.
// The template's spectra are prepared once per region size (PrepareMatch; the DetectionLoop keeps
// them in its MatchCache). Buffers live in a per-thread MatchWorkspace and in the RegionPixels of
// the captured rectangle; both can be released (Release) and say what they hold (Bytes).
//
// Threads: a MatchWorkspace and a RegionPixels belong to one thread at a time. A PreparedMatch is
// immutable once made and may be read by any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "detect/color_metrics.h"
#include "detect/transform.h"
#include "registry/template_info.h"

namespace tavrik {

// The tiling of a map: blocks of the map whose windows fit one transform (cv::matchTemplate's
// crossCorr layout: blocks of 4.5 template sizes, at least a 256-pixel transform).
struct CorrelationLayout {
  cv::Size corr;   // map size: image - template + 1
  cv::Size templ;  // template size
  cv::Size block;  // map pixels per tile
  cv::Size dft;    // transform size
  int tilesX = 0;
  int tilesY = 0;
};
CorrelationLayout CrossCorrLayout(cv::Size image, cv::Size templ);

enum class MatchKind {
  kCoeffNormed,   // grey TM_CCOEFF_NORMED
  kSqDiffNormed,  // grey TM_SQDIFF_NORMED
  kMaskedCorr,    // colour TM_CCORR_NORMED under a 0/1 mask
  kFallback,      // an input the engine does not cover: cv::matchTemplate itself
};

// The normalised value of a correlation `num` over a norm product `t`: num / t while |num| < t,
// ±1 while |num| < 1.125 t (rounding just above 1), else `empty` (t = 0: a window without
// energy; or a NaN). `empty` is 0 for the correlations and 1 for squared difference.
inline double GuardedScore(double num, double t, double empty) {
  const double magnitude = num < 0 ? -num : num;
  if (magnitude < t) return num / t;
  if (magnitude < t * 1.125) return num > 0 ? 1.0 : -1.0;
  return empty;
}

// Everything one template needs for one region size and transform. Immutable once made.
struct PreparedMatch {
  cv::Size region;
  TransformKind transform = TransformKind::kOpenCv;
  MatchKind kind = MatchKind::kFallback;
  CorrelationLayout layout;
  // Template spectra at layout.dft: grey, the template itself; masked, the three channels of
  // template x mask, then the mask.
  std::vector<cv::Mat> spectra;
  // Exact template sums (integers held in doubles): grey sum and sum of squares; masked, the sum
  // of squares of the masked template over its three channels.
  double area = 0.0;
  double templSum = 0.0;
  double templSum2 = 0.0;
  double templNorm = 0.0;    // CCOEFF: sqrt of the centred sum of squares; SQDIFF: sqrt(templSum2)
  bool constantOne = false;  // CCOEFF of a flat template: cv::matchTemplate's map of 1s

  std::size_t Bytes() const;
};

class MatchWorkspace;

// Prepares `info` for regions of `region` size (at least the template's size).
std::shared_ptr<const PreparedMatch> PrepareMatch(const TemplateInfo& info, cv::Size region,
                                                  TransformKind transform,
                                                  MatchWorkspace& workspace);

// One captured region and what is derived from it. Reset() with new pixels invalidates the
// derived data but keeps the buffers until Release().
class RegionPixels {
 public:
  RegionPixels();
  ~RegionPixels();
  RegionPixels(const RegionPixels&) = delete;
  RegionPixels& operator=(const RegionPixels&) = delete;

  // `pixels` is 8-bit BGR or BGRA; it is referenced, not copied, and must outlive the use.
  void Reset(const cv::Mat& pixels);
  const cv::Mat& Pixels() const { return pixels_; }

  // The region in grey, as cv::cvtColor(BGR2GRAY) of its BGR pixels would give it.
  const cv::Mat& Grey();

  // Frees every derived buffer and lets go of the pixels (they are the caller's, but a reference
  // kept here would keep them alive). Bytes() is what the derived buffers hold now.
  void Release();
  std::size_t Bytes() const;

  struct Impl;
  Impl& Internal() { return *impl_; }

 private:
  cv::Mat pixels_;
  std::unique_ptr<Impl> impl_;
};

// Scratch buffers and transforms of one thread.
class MatchWorkspace {
 public:
  MatchWorkspace();
  ~MatchWorkspace();
  MatchWorkspace(const MatchWorkspace&) = delete;
  MatchWorkspace& operator=(const MatchWorkspace&) = delete;

  // Frees every buffer and transform; the next use makes them again. Bytes() is what they hold.
  void Release();
  std::size_t Bytes() const;

  // How many maps this workspace has computed (tests count them to see work skipped).
  std::uint64_t MapsComputed() const;

  struct Impl;
  Impl& Internal() { return *impl_; }

  SpotScratch spot;  // the spot colour's conversion buffers (MeasureSpot)

 private:
  std::unique_ptr<Impl> impl_;
};

// The calling thread's workspace, for callers on one long-lived thread that keep none of their
// own (tools, tests, EvaluateTemplate). Threads that end while the process goes on (the
// evaluation pool's) are given explicit workspaces instead: a thread_local holding OpenCV
// matrices must not be destroyed at thread exit after OpenCV's own thread data (mingw-w64).
MatchWorkspace& ThreadMatchWorkspace();

// Computes the response map of `info` over `region` into `map` (CV_32F, region - template + 1;
// a view into workspace memory, valid until the next call with the same workspace). `prepared`
// must have been made for this template, the region's size and a transform.
void ComputeMatchMap(RegionPixels& region, const TemplateInfo& info, const PreparedMatch& prepared,
                     MatchWorkspace& workspace, cv::Mat& map);

// cv::matchTemplate on the region as the worker scored before this engine: the path for inputs
// the engine does not cover, and a second oracle for the tests. Its map may hold NaN and inf.
void ReferenceMatchMap(const cv::Mat& region, const TemplateInfo& info, cv::Mat& map);

}  // namespace tavrik
