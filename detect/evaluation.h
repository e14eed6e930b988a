// Evaluation: the record of one template's evaluation in one detection pass.
//
// It is filled in three stages, each reading only what the earlier ones wrote:
//   1. the evaluation itself (EvaluateTemplate / EvaluateRegion): capture geometry, the captured
//      image, the match score and the colour of the best-matching spot (the template's kind is
//      read from TemplateInfo, where it was parsed once);
//   2. the decision (Decide): penalties, final score, hit or miss and the reason;
//   3. the report (ComputeReportPositions and the report functions): positions, display name and
//      the time stamp.
// It lives for one template's turn only; nothing in it outlives the pass.
//
// Threads: a plain value, owned by whoever runs the evaluation (the DetectionLoop's thread).
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <string>
#include <string_view>

#include "base/geometry.h"
#include "detect/match_score.h"
#include "registry/template_info.h"

namespace tavrik {

// Miss reasons, as they appear after " reason=" in the decision line.
inline constexpr std::string_view kReasonWhitePatch = "whitePatch";
inline constexpr std::string_view kReasonScoreBelowThreshold = "score<threshold";
inline constexpr std::string_view kReasonAdjBelowMargin = "adj<baselineMargin";

struct Evaluation {
  // Stage 1: the evaluation.
  IntRect captureRect;    // screen rectangle captured, in captured pixels
  double invScale = 1.0;  // 1 / scale when scale > 0, else 1
  bool scaled = false;    // |scale - 1| > 1e-6: the raw* keys are printed
  IntRect screenRoi;      // ROI in screen coordinates, logical units
  cv::Mat captured;       // 8-bit BGR, exactly captureRect's size
  MatchScore match;
  double baseline = 0.0;              // max(match.mapMean, 0)
  double raw = 0.0;                   // match.raw
  IntRect matchRect;                  // best-match rectangle clipped to the captured image
  HueSatMean spotHueSat{-1.0, -1.0};  // colour of the spot inside matchRect; -1 when not taken
  double spotValue = -1.0;            // brightness (HSV value, 0..255) of the spot, or -1
  LabMean spotLab{-1.0, -1.0, -1.0};

  // Stage 2: the decision.
  double colorPen = 0.0;
  bool whitePatch = false;
  double satAdj = 0.0;
  double score = 0.0;
  double adj = 0.0;
  bool marginOk = false;
  bool hit = false;
  std::string_view reason;  // empty for a hit, else one of the kReason* constants

  // Stage 3: the report.
  IntPoint pos;                  // match top-left relative to the window origin, logical units
  IntPoint rawPos;               // the same in captured pixels
  IntPoint abs;                  // match top-left on the screen, logical units
  IntPoint rawAbs;               // the same in captured pixels
  std::string displayName;       // name up to its first ':'
  std::int64_t timestampMs = 0;  // wall clock, read once after the decision
};

}  // namespace tavrik
