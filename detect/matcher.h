// The response map of one template over one captured region, computed the way cv::matchTemplate
// computes it, with everything that depends only on the template prepared once.
//
// cv::matchTemplate (OpenCV 4.x, imgproc/src/templmatch.cpp) correlates by blocks of Fourier
// transforms (crossCorr) and then normalises (common_matchTemplate, or matchTemplateMask for a
// mask). Per call it transforms the template again, converts both images, builds integral images
// in double and allocates every buffer. This unit follows the same block decomposition, transform
// calls and arithmetic, but:
//   - the template's spectra, sums and norms are made once per region size and kept with the
//     template (TemplateInfo::detection);
//   - the region's grey plane, window sums and forward spectra are made once per captured region
//     and shared by every template that watches the same rectangle in a pass (RegionPixels);
//   - buffers live in a per-thread MatchWorkspace and are reused, so a steady state allocates
//     nothing;
//   - the region may be the 4-byte BGRA pixels of the capture (no conversion to BGR first).
// With the OpenCV transform the map is bit for bit cv::matchTemplate's (tests/detect/
// match_differential_test.cpp checks every method on several hundred images). With FFTW the
// channels of a colour term are summed as spectra and the map agrees to about 1e-6.
//
// Paths: grey TM_CCOEFF_NORMED / TM_SQDIFF_NORMED / TM_CCORR_NORMED without mask, and colour
// TM_CCORR_NORMED with a single-channel 8-bit mask (kind t2). Anything else (a colour template
// without mask, a template without grey copy) falls back to cv::matchTemplate on a BGR copy.
//
// Threads: a MatchWorkspace and a RegionPixels belong to one thread at a time; a template's
// prepared state is touched only by the thread evaluating that template (the DetectionLoop's
// discipline for lastDecisionTime).
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "detect/color_metrics.h"
#include "detect/transform.h"
#include "registry/template_info.h"

namespace tavrik {

// OpenCV's crossCorr block layout for an image and a template (its blockScale 4.5, minimum block
// 256 and getOptimalDFTSize), computed by the same formulas.
struct CorrelationLayout {
  cv::Size corr;   // map size: image - template + 1
  cv::Size templ;  // template size
  cv::Size block;  // map pixels per tile
  cv::Size dft;    // transform size
  int tilesX = 0;
  int tilesY = 0;
};
CorrelationLayout CrossCorrLayout(cv::Size image, cv::Size templ);

// Everything one template needs for one region size and transform, made the first time that
// size is seen and kept with the template until the record is dropped.
struct PreparedMatch {
  bool valid = false;
  cv::Size region;
  TransformKind kind = TransformKind::kOpenCv;
  int method = 0;
  bool masked = false;    // colour TM_CCORR_NORMED under the edge mask
  bool fallback = false;  // a path this unit does not cover: cv::matchTemplate
  CorrelationLayout layout;
  int depth = 0;                    // transform depth: CV_32F (8-bit input) or CV_64F (masked)
  std::vector<SpectrumSlot> term1;  // template spectra, one per channel
  SpectrumSlot term2;               // masked: the spectrum of the mask (the same for all channels)
  // Grey normalisation (common_matchTemplate's constants).
  bool constantOne = false;  // TM_CCOEFF_NORMED of a flat template: the map is all 1
  double templMean = 0.0;
  double templNorm = 0.0;
  double templSum2 = 0.0;
  double invArea = 0.0;
  // Masked normalisation: norm(templ.mul(mask), NORM_L2SQR).
  double templ2Mask2Sum = 0.0;
};

class MatchWorkspace;

// One captured region and what is derived from it. Reset() with new pixels invalidates the
// derived data but keeps every buffer.
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
// a view into workspace memory, valid until the next call with the same workspace). The region
// must be at least the template's size. `kind` selects the transform.
void ComputeMatchMap(RegionPixels& region, const TemplateInfo& info, PreparedMatch& prepared,
                     MatchWorkspace& workspace, TransformKind kind, cv::Mat& map);

// The same map through cv::matchTemplate itself, as the worker computed it before this unit
// existed: the reference of the differential test, and the fallback path.
void ReferenceMatchMap(const cv::Mat& region, const TemplateInfo& info, cv::Mat& map);

}  // namespace tavrik
