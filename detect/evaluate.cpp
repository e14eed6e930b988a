#include "detect/evaluate.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <opencv2/core/types.hpp>
#include <string_view>

#include "base/numeric.h"
#include "detect/color_metrics.h"
#include "detect/decision.h"
#include "detect/match_score.h"
#include "detect/report.h"

namespace tavrik {
namespace {

constexpr double kScaleTolerance = 0.000001;

// Composing the line may itself fail (allocation); the evaluation is abandoned either way.
void ReportContainedError(const LogSink& log, const TemplateInfo& info, const IntRect& screenRoi,
                          std::string_view what) noexcept {
  try {
    log.Emit(ComposeErrorLine(info.name, screenRoi, what));
  } catch (...) {
  }
}

}  // namespace

bool PlanCapture(const TemplateInfo& info, Evaluation& e) {
  const std::int64_t x = std::int64_t{info.windowOrigin.x} + info.rawRoi.x;
  const std::int64_t y = std::int64_t{info.windowOrigin.y} + info.rawRoi.y;
  const std::int64_t width = info.rawRoi.width;
  const std::int64_t height = info.rawRoi.height;
  e.captureRect = {SaturateInt32(x), SaturateInt32(y), info.rawRoi.width, info.rawRoi.height};

  e.invScale = info.scale > 0.0 ? 1.0 / info.scale : 1.0;
  e.scaled = std::fabs(info.scale - 1.0) > kScaleTolerance;
  e.screenRoi = {NearestInt32(static_cast<double>(e.captureRect.x) * e.invScale),
                 NearestInt32(static_cast<double>(e.captureRect.y) * e.invScale),
                 std::max(info.roi.width, 1), std::max(info.roi.height, 1)};

  // The far edges must be representable too: capture backends add width to x.
  return FitsInt32(x) && FitsInt32(y) && FitsInt32(x + std::max<std::int64_t>(width, 0)) &&
         FitsInt32(y + std::max<std::int64_t>(height, 0));
}

void EvaluateRegion(Evaluation& e, const TemplateInfo& info) {
  e.match = ScoreTemplateMatch(e.captured, info);
  e.baseline = e.match.mapMean > 0.0 ? e.match.mapMean : 0.0;
  e.raw = e.match.raw;

  const cv::Rect spot =
      cv::Rect(e.match.matchLoc.x, e.match.matchLoc.y, info.image.cols, info.image.rows) &
      cv::Rect(0, 0, e.captured.cols, e.captured.rows);
  e.matchRect = {spot.x, spot.y, spot.width, spot.height};
  if (spot.width > 0 && spot.height > 0) {
    const cv::Mat view = e.captured(spot);
    e.spotHueSat = MeanHueSat(view);
    e.spotValue = MeanValue(view);
    e.spotLab = MeanLab(view);
  } else {
    e.spotHueSat = {-1.0, -1.0};
    e.spotValue = -1.0;
    e.spotLab = {-1.0, -1.0, -1.0};
  }

  Decide(e, info);
}

EvaluationOutcome EvaluateTemplate(const TemplateInfo& info, const LogSink& log,
                                   HitRingWriter* writer, const CaptureFunction& capture,
                                   Evaluation* record, ErrorLine errorLine) noexcept {
  Evaluation local;
  Evaluation& e = record != nullptr ? *record : local;
  try {
    if (!PlanCapture(info, e)) {
      log.Emit(ComposeCaptureFailureLine(info.name, e.screenRoi, e.captureRect, e.scaled));
      return EvaluationOutcome::kCaptureFailed;
    }
    const IntRect& r = e.captureRect;
    e.captured = capture ? capture(r.x, r.y, r.width, r.height) : cv::Mat();
    if (e.captured.empty()) {
      log.Emit(ComposeCaptureFailureLine(info.name, e.screenRoi, e.captureRect, e.scaled));
      return EvaluationOutcome::kCaptureFailed;
    }
    EvaluateRegion(e, info);
    ReportDecision(e, info, log, writer);
    return EvaluationOutcome::kDecided;
  } catch (const std::exception& error) {
    if (errorLine == ErrorLine::kWrite) ReportContainedError(log, info, e.screenRoi, error.what());
  } catch (...) {
    if (errorLine == ErrorLine::kWrite) {
      ReportContainedError(log, info, e.screenRoi, "unknown exception");
    }
  }
  return EvaluationOutcome::kError;
}

}  // namespace tavrik
