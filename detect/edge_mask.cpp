#include "detect/edge_mask.h"

#include <opencv2/imgproc.hpp>

#include "match/cv_compat.h"

namespace tavrik {
namespace {

// A Laplacian response must exceed this (in 8-bit magnitude) to count as an edge.
constexpr double kLaplacianThreshold = 20.0;
// Below one edge pixel per this many template pixels, the Laplacian edges are too sparse.
constexpr int kSparseEdgeDivisor = 30;
constexpr double kCannyLow = 30.0;
constexpr double kCannyHigh = 90.0;

cv::Mat ToGray(const cv::Mat& image) {
  cv::Mat gray;
  switch (image.channels()) {
    case 3:
      cvc::CvtColor(image, gray, cv::COLOR_BGR2GRAY);
      break;
    case 4:
      cvc::CvtColor(image, gray, cv::COLOR_BGRA2GRAY);
      break;
    default:
      gray = image.clone();
      break;
  }
  return gray;
}

}  // namespace

cv::Mat BuildEdgeMask(const cv::Mat& image) {
  if (image.empty()) return cv::Mat();
  const cv::Mat gray = ToGray(image);

  cv::Mat blurred;
  cvc::GaussianBlur(gray, blurred, cv::Size(3, 3), 0.0, 0.0, cv::BORDER_DEFAULT);

  cv::Mat laplacian;
  cv::Laplacian(blurred, laplacian, CV_16S, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
  cv::Mat magnitude;
  cv::convertScaleAbs(laplacian, magnitude, 1.0, 0.0);

  cv::Mat mask;
  cv::threshold(magnitude, mask, kLaplacianThreshold, 255.0, cv::THRESH_BINARY);
  int count = cv::countNonZero(mask);

  // Integer division on purpose: templates under 30 pixels never fall back.
  const int sparseLimit = (image.cols * image.rows) / kSparseEdgeDivisor;
  if (count < sparseLimit) {
    cv::Canny(blurred, mask, kCannyLow, kCannyHigh, 3, false);
    count = cv::countNonZero(mask);
  }

  if (count == 0) return cv::Mat(image.rows, image.cols, CV_8UC1, cv::Scalar(255));

  // A constant border with the default morphology value leaves the border out of the decision.
  cv::dilate(mask, mask, cv::Mat(), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
             cv::morphologyDefaultBorderValue());
  return mask;
}

}  // namespace tavrik
