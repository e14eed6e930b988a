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
// window) scores 0 in the map (match/match_template.h, GuardedScore), so it can neither win nor spoil
// the maximum; `mapMean` counts it as 0. Non-finite values, which only the cv::matchTemplate
// fallback can still produce, are read as those empty placements are.
//
// Threads: pure apart from OpenCV's own errors, which propagate. Called on the DetectionLoop's
// thread (and by tools that run one evaluation in-process); the template is only read.
#pragma once

#include <cstddef>
#include <opencv2/core/mat.hpp>
#include <span>
#include <stop_token>

#include "match/match_cache.h"
#include "match/matcher.h"
#include "match/transform.h"
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
// Throws EvaluationStopped when `stop` is requested before the score is known.
MatchScore ScoreRegion(RegionPixels& region, const TemplateInfo& info, MatchWorkspace& workspace,
                       TransformKind kind, MatchCache* cache, std::stop_token stop = {});
struct EvaluationStopped {};

// One template of ScoreTemplates.
struct ScoreJob {
  const TemplateInfo* info = nullptr;
  MatchScore score;
  bool done = false;
};

// Scores every job over one region: the templates that share a tile geometry share the region's
// transforms (match/matcher.h). A template whose prepared spectra the cache cannot keep is scored
// alone, right after it is prepared, so that at most one such preparation is alive at a time.
// False when `stop` was requested before every job was done. Exceptions propagate.
bool ScoreTemplates(RegionPixels& region, std::span<ScoreJob> jobs, MatchWorkspace& workspace,
                    TransformKind kind, MatchCache* cache, std::stop_token stop = {});

// The whole response map of a template over a region, as the engine computes it for the worker
// (tools and tests; the worker itself folds maps tile by tile).
void TemplateMatchMap(RegionPixels& region, const TemplateInfo& info, TransformKind kind,
                      MatchWorkspace& workspace, cv::Mat& map);

// What the engine is given of a template: its planes, mask and method.
MatchTemplate MatchInputOf(const TemplateInfo& info);

// The score a map's summary gives (see ScoreFromMap).
MatchScore ScoreFromSummary(const MapSummary& summary, bool sqDiff);

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
