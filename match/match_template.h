// What the correlation engine is given of a template: its 8-bit planes, its mask and the method,
// nothing of the record it came from (detect/ builds one from a registered template).
//
// Three normalised methods are computed by the engine itself:
//   grey TM_CCOEFF_NORMED and TM_SQDIFF_NORMED (cv::matchTemplate's definitions and guards), and
//   colour TM_CCORR_NORMED under a 0/1 mask (kind t2: the edge mask).
// Anything else (a plane of another type or size) is kFallback: cv::matchTemplate itself.
//
// Every normalised value passes one guard (GuardedScore), the one cv::matchTemplate applies to its
// unmasked normalised methods: a placement whose window carries no energy, or whose quotient is
// not finite, carries no evidence and scores 0 (1 for squared difference, which counts as the
// worst score). No NaN or infinity ever leaves the engine.
//
// Threads: plain data; the planes are only read.
#pragma once

#include <opencv2/core/mat.hpp>

namespace tavrik {

enum class MatchKind {
  kCoeffNormed,   // grey TM_CCOEFF_NORMED
  kSqDiffNormed,  // grey TM_SQDIFF_NORMED
  kMaskedCorr,    // colour TM_CCORR_NORMED under a 0/1 mask
  kFallback,      // an input the engine does not cover: cv::matchTemplate itself
};

struct MatchTemplate {
  MatchKind kind = MatchKind::kFallback;
  int method = 0;      // the cv::TM_* method (what the fallback runs)
  bool grey = false;   // compared in grey (`greyPlane`), else in colour (`colour`, `mask`)
  cv::Mat greyPlane;   // CV_8UC1
  cv::Mat colour;      // CV_8UC3, BGR; its size is the template's size
  cv::Mat mask;        // CV_8UC1 edge mask for colour matching, empty for none

  cv::Size Size() const { return colour.size(); }
};

// The kind the engine gives a template of these planes and method.
MatchKind KindOf(const MatchTemplate& templ);

// The normalised value of a correlation `num` over a norm product `t`: num / t while |num| < t,
// ±1 while |num| < 1.125 t (rounding just above 1), else `empty` (t = 0: a window without
// energy; or a NaN). `empty` is 0 for the correlations and 1 for squared difference.
inline double GuardedScore(double num, double t, double empty) {
  const double magnitude = num < 0 ? -num : num;
  if (magnitude < t) return num / t;
  if (magnitude < t * 1.125) return num > 0 ? 1.0 : -1.0;
  return empty;
}

}  // namespace tavrik
