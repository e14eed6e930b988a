#include "detect/match_score.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/template_state.h"

namespace tavrik {

double CorrelationScoreFromMax(double maximum) { return std::isfinite(maximum) ? maximum : 0.0; }

double SqDiffScoreFromMin(double minimum) {
  const double m = std::isfinite(minimum) ? minimum : 1.0;
  return std::clamp(1.0 - m, 0.0, 1.0);
}

int MatchMethod(const TemplateInfo& info) {
  if (info.isT3 || info.kind == TemplateKindId::kT3) return cv::TM_SQDIFF_NORMED;
  return info.kind == TemplateKindId::kT2 ? cv::TM_CCORR_NORMED : cv::TM_CCOEFF_NORMED;
}

bool MatchesInGrey(const TemplateInfo& info) {
  return MatchMethod(info) != cv::TM_CCORR_NORMED && !info.gray.empty();
}

MatchScore ScoreFromMap(const cv::Mat& map, bool sqDiff) {
  MatchScore score;
  double minValue = 0.0;
  double maxValue = 0.0;
  cv::Point minLoc;
  cv::Point maxLoc;
  cv::minMaxLoc(map, &minValue, &maxValue, &minLoc, &maxLoc);
  if (sqDiff) {
    score.raw = SqDiffScoreFromMin(minValue);
    score.matchLoc = {minLoc.x, minLoc.y};
    score.mapMean = 0.0;
  } else {
    const double mean = map.empty() ? 0.0 : cv::mean(map)[0];
    score.raw = CorrelationScoreFromMax(maxValue);
    score.matchLoc = {maxLoc.x, maxLoc.y};
    score.mapMean = std::isfinite(mean) ? mean : 0.0;
  }
  return score;
}

MatchScore ScoreRegion(RegionPixels& region, const TemplateInfo& info, MatchWorkspace& workspace,
                       TransformKind kind) {
  const cv::Mat& pixels = region.Pixels();
  if (pixels.cols < info.image.cols || pixels.rows < info.image.rows) {
    return MatchScore{};  // {0, (0,0), -1}: no threshold accepts it
  }
  cv::Mat map;
  ComputeMatchMap(region, info, DetectionStateOf(info).match, workspace, kind, map);
  return ScoreFromMap(map, MatchMethod(info) == cv::TM_SQDIFF_NORMED);
}

MatchScore ScoreTemplateMatch(const cv::Mat& region, const TemplateInfo& info) {
  if (region.cols < info.image.cols || region.rows < info.image.rows) return MatchScore{};
  thread_local RegionPixels pixels;
  pixels.Reset(region);
  const MatchScore score =
      ScoreRegion(pixels, info, ThreadMatchWorkspace(), DefaultTransformKind());
  pixels.Reset(cv::Mat());
  return score;
}

TemplateDetectionState& DetectionStateOf(const TemplateInfo& info) {
  if (auto* state = dynamic_cast<TemplateDetectionState*>(info.detection.state.get())) {
    return *state;
  }
  auto state = std::make_unique<TemplateDetectionState>();
  TemplateDetectionState& ref = *state;
  info.detection.state = std::move(state);
  return ref;
}

}  // namespace tavrik
