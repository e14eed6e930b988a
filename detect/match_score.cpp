#include "detect/match_score.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "detect/cv_compat.h"

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

MatchScore ScoreTemplateMatch(const cv::Mat& region, const TemplateInfo& info) {
  MatchScore score;
  if (region.cols < info.image.cols || region.rows < info.image.rows) {
    return score;  // {0, (0,0), -1}: no threshold accepts it
  }

  const bool useGray = MatchesInGrey(info);
  cv::Mat grayRegion;
  if (useGray) cvc::CvtColor(region, grayRegion, cv::COLOR_BGR2GRAY);
  const cv::Mat& image = useGray ? grayRegion : region;
  const cv::Mat& templ = useGray ? info.gray : info.image;

  const int method = MatchMethod(info);
  const bool sqDiff = method == cv::TM_SQDIFF_NORMED;

  cv::Mat map(region.rows - info.image.rows + 1, region.cols - info.image.cols + 1, CV_32F);
  if (info.edgeMask.empty()) {
    cv::matchTemplate(image, templ, map, method);
  } else {
    cv::matchTemplate(image, templ, map, method, info.edgeMask);
  }

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

}  // namespace tavrik
