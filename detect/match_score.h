// Template match scoring: how well one captured region matches one registered template.
//
// Three variants, fixed per template by the kind parsed when it was added:
//   t3 (or isT3)         grey region vs `gray`, TM_SQDIFF_NORMED, raw = 1 - clamped minimum
//   t2                   colour region vs `image` under `edgeMask`, TM_CCORR_NORMED, raw = maximum
//   everything else      grey region vs `gray`, TM_CCOEFF_NORMED, raw = maximum
// `mapMean` (the mean of the whole response map) is the baseline the best score must stand out
// from; the squared-difference variant has no baseline and reports 0.
//
// A placement whose window carries no energy (a flat black window under the mask, a flat grey
// window) scores 0 in the map (detect/matcher.h, GuardedScore), so it can neither win nor spoil
// the maximum; `mapMean` counts it as 0. Non-finite values, which only the cv::matchTemplate
// fallback can still produce, are read as those empty placements are.
//
// Threads: pure apart from OpenCV's own errors, which propagate. Called on the DetectionLoop's
// thread (and by tools that run one evaluation in-process); the template is only read.
#pragma once

#include <opencv2/core/mat.hpp>

#include "detect/match_cache.h"
#include "detect/matcher.h"
#include "detect/transform.h"
#include "registry/template_info.h"

namespace tavrik {

struct MatchScore {
  double mapMean = 0.0;  // mean of the response map; 0 for squared difference or when not finite
  IntPoint matchLoc;     // top-left of the best placement, region pixels
  double raw = -1.0;     // best score, larger is better; -1 when the region is too small
};

// Scores `region` (8-bit BGR or BGRA) against the template. A region narrower or shorter than
// the template's image gives {0, (0,0), -1} without running the matcher. Prepares the template
// for this call, on the calling thread's workspace with the configured transform.
MatchScore ScoreTemplateMatch(const cv::Mat& region, const TemplateInfo& info);

// The same on a region that other templates of the pass may share, with a given workspace and
// transform, taking the prepared template from `cache` (null: prepared for this call only).
MatchScore ScoreRegion(RegionPixels& region, const TemplateInfo& info, MatchWorkspace& workspace,
                       TransformKind kind, MatchCache* cache);

// The score of a response map: the best location (the first in row-major order among equal
// values, as cv::minMaxLoc reports it), its value and the map's mean, a non-finite value read as
// the empty placement (0 for the correlations, 1 for squared difference). `sqDiff` for
// TM_SQDIFF_NORMED (the minimum is best, no baseline).
MatchScore ScoreFromMap(const cv::Mat& map, bool sqDiff);

// The OpenCV method ScoreTemplateMatch uses for this template (cv::TM_SQDIFF_NORMED,
// cv::TM_CCORR_NORMED or cv::TM_CCOEFF_NORMED), and whether it compares grey images.
int MatchMethod(const TemplateInfo& info);
bool MatchesInGrey(const TemplateInfo& info);

// The replacements for non-finite matcher output, separated so that they can be checked without
// provoking NaN inside OpenCV.
//   correlation maximum / map mean: the value, or 0 when NaN or infinite;
//   squared-difference minimum m:   1 - m clamped to [0, 1], with a non-finite m counting as 1.
double CorrelationScoreFromMax(double maximum);
double SqDiffScoreFromMin(double minimum);

}  // namespace tavrik
