#include "detect/edge_mask.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace tavrik {
namespace {

// Largest second-derivative response of the blurred template, in 8-bit magnitude: the quantity
// the mask thresholds. Used only to check that a test image sits where the test needs it.
double PeakLaplacian(const cv::Mat& gray) {
  cv::Mat blurred, lap, mag;
  cv::GaussianBlur(gray, blurred, cv::Size(3, 3), 0, 0, cv::BORDER_DEFAULT);
  cv::Laplacian(blurred, lap, CV_16S, 3);
  cv::convertScaleAbs(lap, mag);
  double peak = 0;
  cv::minMaxLoc(mag, nullptr, &peak);
  return peak;
}

int CannyEdges(const cv::Mat& gray) {
  cv::Mat blurred, edges;
  cv::GaussianBlur(gray, blurred, cv::Size(3, 3), 0, 0, cv::BORDER_DEFAULT);
  cv::Canny(blurred, edges, 30, 90, 3, false);
  return cv::countNonZero(edges);
}

bool AllEqual(const cv::Mat& mask, int value) { return cv::countNonZero(mask != value) == 0; }

void ExpectBinaryMaskOf(const cv::Mat& mask, const cv::Mat& image) {
  ASSERT_EQ(mask.type(), CV_8UC1);
  ASSERT_EQ(mask.size(), image.size());
  EXPECT_EQ(cv::countNonZero(mask == 0) + cv::countNonZero(mask == 255), mask.rows * mask.cols);
}

cv::Mat Dots(cv::Size size, std::initializer_list<cv::Point> points, int value) {
  cv::Mat g(size, CV_8UC1, cv::Scalar(0));
  for (const cv::Point& p : points) g.at<uchar>(p) = static_cast<uchar>(value);
  return g;
}

TEST(EdgeMask, UniformTemplateTakesPartEverywhere) {
  const cv::Mat flat(17, 23, CV_8UC3, cv::Scalar(30, 60, 90));
  const cv::Mat mask = BuildEdgeMask(flat);
  ExpectBinaryMaskOf(mask, flat);
  EXPECT_TRUE(AllEqual(mask, 255));
}

TEST(EdgeMask, MagnitudeTwentyIsNotAnEdgeTwentyTwoIs) {
  // 5 x 5 is under 30 pixels, so the Canny fallback cannot interfere. The Laplacian aperture has
  // only even coefficients, so 22 is the smallest magnitude above 20 that can occur.
  const cv::Mat at20 = Dots({5, 5}, {{1, 1}}, 19);
  const cv::Mat at22 = Dots({5, 5}, {{1, 1}}, 22);
  ASSERT_EQ(PeakLaplacian(at20), 20.0);
  ASSERT_EQ(PeakLaplacian(at22), 22.0);

  EXPECT_TRUE(AllEqual(BuildEdgeMask(at20), 255));  // no edge at all
  const cv::Mat mask = BuildEdgeMask(at22);
  ExpectBinaryMaskOf(mask, at22);
  EXPECT_GT(cv::countNonZero(mask), 0);
  EXPECT_FALSE(AllEqual(mask, 255));
}

TEST(EdgeMask, UnderThirtyPixelsAWeakEdgeIsKeptWithoutFallback) {
  // Canny finds nothing here; had it replaced the mask, the result would be all 255.
  const cv::Mat dot = Dots({5, 5}, {{2, 2}}, 30);
  ASSERT_EQ(CannyEdges(dot), 0);
  const cv::Mat mask = BuildEdgeMask(dot);
  ExpectBinaryMaskOf(mask, dot);
  EXPECT_EQ(mask.at<uchar>(2, 2), 255);
  EXPECT_EQ(mask.at<uchar>(0, 0), 0);
}

TEST(EdgeMask, TenByTenFallsBackOnlyBelowThreeEdgePixels) {
  // Each dot yields exactly one Laplacian pixel above 20 and no Canny edge.
  const cv::Mat two = Dots({10, 10}, {{2, 2}, {7, 2}}, 30);
  const cv::Mat three = Dots({10, 10}, {{2, 2}, {7, 2}, {2, 7}}, 30);
  ASSERT_EQ(CannyEdges(two), 0);
  ASSERT_EQ(CannyEdges(three), 0);

  // Two edge pixels < 100 / 30: Canny replaces them, finds nothing, so everything takes part.
  EXPECT_TRUE(AllEqual(BuildEdgeMask(two), 255));

  // Three reach the limit: Canny is not consulted; the dilated dots remain.
  const cv::Mat mask = BuildEdgeMask(three);
  ExpectBinaryMaskOf(mask, three);
  EXPECT_EQ(cv::countNonZero(mask), 3 * 9);
  EXPECT_EQ(mask.at<uchar>(2, 2), 255);
  EXPECT_EQ(mask.at<uchar>(3, 3), 255);
  EXPECT_EQ(mask.at<uchar>(5, 5), 0);
}

TEST(EdgeMask, SparseLaplacianEdgesFallBackToCanny) {
  // A single low step across a large template: its Laplacian band (four columns) is below one
  // pixel in thirty, Canny draws a one-pixel line; dilated, that line is three columns wide.
  cv::Mat step(200, 200, CV_8UC3, cv::Scalar(100, 100, 100));
  step(cv::Rect(100, 0, 100, 200)).setTo(cv::Scalar(130, 130, 130));
  const cv::Mat mask = BuildEdgeMask(step);
  ExpectBinaryMaskOf(mask, step);
  for (int y : {0, 100, 199}) {
    EXPECT_EQ(cv::countNonZero(mask.row(y)), 3) << "row " << y;
  }
  // The constant border neither adds mask pixels along the image edge nor removes them.
  EXPECT_EQ(cv::countNonZero(mask.col(0)), 0);
  EXPECT_EQ(cv::countNonZero(mask.col(199)), 0);
}

TEST(EdgeMask, AcceptsBgraAndGreyLikeBgr) {
  const cv::Mat gray = Dots({10, 10}, {{2, 2}, {7, 2}, {2, 7}}, 30);
  cv::Mat bgr, bgra;
  cv::cvtColor(gray, bgr, cv::COLOR_GRAY2BGR);
  cv::cvtColor(gray, bgra, cv::COLOR_GRAY2BGRA);
  const cv::Mat expected = BuildEdgeMask(gray);
  EXPECT_EQ(cv::norm(BuildEdgeMask(bgr), expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(BuildEdgeMask(bgra), expected, cv::NORM_INF), 0.0);
  const cv::Mat before = bgr.clone();
  BuildEdgeMask(bgr);
  EXPECT_EQ(cv::norm(bgr, before, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace tavrik
