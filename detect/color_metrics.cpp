#include "detect/color_metrics.h"

#include <vector>

#include "match/cv_compat.h"

namespace tavrik {
namespace {

constexpr HueSatMean kNoHueSat{-1.0, -1.0};
constexpr LabMean kNoLab{-1.0, -1.0, -1.0};

// Brings the input to 3-channel BGR: 3 channels are used as they are (no copy), 4 channels lose
// their alpha. Any other layout is not measurable.
bool AsBgr(const cv::Mat& image, cv::Mat& bgr) {
  if (image.empty()) return false;
  switch (image.channels()) {
    case 3:
      bgr = image;
      return true;
    case 4:
      cvc::CvtColor(image, bgr, cv::COLOR_BGRA2BGR);
      return true;
    default:
      return false;
  }
}

// OpenCV builds its 8-bit Lab and HSV tables on first use without a lock: two threads converting
// for the first time at once (an add on the CommandThread while the loop measures a spot) race
// on them, and one Lab table set is leaked. A function-local static makes the first conversion
// happen once, with every other caller waiting for it.
void PrimeConversionTables() {
  static const bool primed = [] {
    const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(10, 20, 30));
    cv::Mat out;
    cvc::CvtColor(pixel, out, cv::COLOR_BGR2Lab);
    cvc::CvtColor(pixel, out, cv::COLOR_BGR2HSV);
    return true;
  }();
  (void)primed;
}

bool HsvPlanes(const cv::Mat& image, std::vector<cv::Mat>& planes) {
  PrimeConversionTables();
  cv::Mat bgr;
  if (!AsBgr(image, bgr)) return false;
  cv::Mat hsv;
  cvc::CvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::split(hsv, planes);
  return planes.size() >= 3;
}

}  // namespace

HueSatMean MeanHueSat(const cv::Mat& image) {
  std::vector<cv::Mat> planes;
  if (!HsvPlanes(image, planes)) return kNoHueSat;
  return HueSatMean{cv::mean(planes[0])[0] / 180.0, cv::mean(planes[1])[0] / 255.0};
}

double MeanValue(const cv::Mat& image) {
  std::vector<cv::Mat> planes;
  if (!HsvPlanes(image, planes)) return -1.0;
  return cv::mean(planes[2])[0];
}

SpotColour MeasureSpot(const cv::Mat& image, SpotScratch& scratch) {
  SpotColour spot;
  if (image.empty() || image.depth() != CV_8U || (image.channels() != 3 && image.channels() != 4)) {
    return spot;
  }
  const std::size_t bytes = image.total() * 3;
  if (scratch.hsv.total() < bytes) scratch.hsv.create(1, static_cast<int>(bytes), CV_8U);
  if (scratch.lab.total() < bytes) scratch.lab.create(1, static_cast<int>(bytes), CV_8U);
  cv::Mat hsv(image.rows, image.cols, CV_8UC3, scratch.hsv.data);
  cv::Mat lab(image.rows, image.cols, CV_8UC3, scratch.lab.data);
  PrimeConversionTables();
  cvc::CvtColor(image, hsv, cv::COLOR_BGR2HSV);
  const cv::Scalar h = cv::mean(hsv);
  spot.hueSat = HueSatMean{h[0] / 180.0, h[1] / 255.0};
  spot.value = h[2];
  cvc::CvtColor(image, lab, cv::COLOR_BGR2Lab);
  const cv::Scalar m = cv::mean(lab);
  spot.lab = LabMean{m[0], m[1], m[2]};
  return spot;
}

SpotColour MeasureSpot(const cv::Mat& image) {
  SpotScratch scratch;
  return MeasureSpot(image, scratch);
}

LabMean MeanLab(const cv::Mat& image) {
  cv::Mat bgr;
  if (!AsBgr(image, bgr)) return kNoLab;
  PrimeConversionTables();
  cv::Mat lab;
  cvc::CvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  const cv::Scalar m = cv::mean(lab);
  return LabMean{m[0], m[1], m[2]};
}

}  // namespace tavrik
