#include "detect/match_score.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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
  CV_Assert(map.type() == CV_32F);
  const double empty = sqDiff ? 1.0 : 0.0;
  double best = 0.0;
  cv::Point bestLoc;
  bool first = true;
  double sum = 0.0;
  for (int y = 0; y < map.rows; ++y) {
    const float* row = map.ptr<float>(y);
    for (int x = 0; x < map.cols; ++x) {
      const double v = std::isfinite(row[x]) ? row[x] : empty;
      sum += v;
      // Strict comparisons keep the first of equal values in row-major order.
      if (first || (sqDiff ? v < best : v > best)) {
        best = v;
        bestLoc = {x, y};
        first = false;
      }
    }
  }
  score.matchLoc = {bestLoc.x, bestLoc.y};
  if (sqDiff) {
    score.raw = SqDiffScoreFromMin(first ? empty : best);
    score.mapMean = 0.0;
  } else {
    score.raw = CorrelationScoreFromMax(best);
    score.mapMean = map.empty() ? 0.0 : sum / static_cast<double>(map.total());
  }
  return score;
}

MatchScore ScoreRegion(RegionPixels& region, const TemplateInfo& info, MatchWorkspace& workspace,
                       TransformKind kind, MatchCache* cache) {
  const cv::Mat& pixels = region.Pixels();
  if (pixels.cols < info.image.cols || pixels.rows < info.image.rows) {
    return MatchScore{};  // {0, (0,0), -1}: no threshold accepts it
  }
  const std::shared_ptr<const PreparedMatch> prepared =
      cache != nullptr ? cache->Get(info, pixels.size(), kind, workspace)
                       : PrepareMatch(info, pixels.size(), kind, workspace);
  cv::Mat map;
  ComputeMatchMap(region, info, *prepared, workspace, map);
  return ScoreFromMap(map, MatchMethod(info) == cv::TM_SQDIFF_NORMED);
}

MatchScore ScoreTemplateMatch(const cv::Mat& region, const TemplateInfo& info) {
  if (region.cols < info.image.cols || region.rows < info.image.rows) return MatchScore{};
  thread_local RegionPixels pixels;
  pixels.Reset(region);
  const MatchScore score =
      ScoreRegion(pixels, info, ThreadMatchWorkspace(), DefaultTransformKind(), nullptr);
  pixels.Reset(cv::Mat());
  return score;
}

}  // namespace tavrik
