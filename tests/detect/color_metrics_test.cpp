#include "detect/color_metrics.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace tavrik {
namespace {

void ExpectUnavailable(const cv::Mat& image) {
  const HueSatMean hs = MeanHueSat(image);
  EXPECT_EQ(hs.hue, -1.0);
  EXPECT_EQ(hs.sat, -1.0);
  EXPECT_EQ(MeanValue(image), -1.0);
  const LabMean lab = MeanLab(image);
  EXPECT_EQ(lab.l, -1.0);
  EXPECT_EQ(lab.a, -1.0);
  EXPECT_EQ(lab.b, -1.0);
}

TEST(ColorMetrics, EmptyAndUnsupportedChannelCountsGiveTheMarker) {
  ExpectUnavailable(cv::Mat());
  ExpectUnavailable(cv::Mat(4, 4, CV_8UC1, cv::Scalar(200)));
  ExpectUnavailable(cv::Mat(4, 4, CV_8UC2, cv::Scalar(200, 10)));
}

TEST(ColorMetrics, WhiteIsUnsaturatedAndFullyBright) {
  const cv::Mat white(5, 7, CV_8UC3, cv::Scalar(255, 255, 255));
  const HueSatMean hs = MeanHueSat(white);
  EXPECT_EQ(hs.hue, 0.0);
  EXPECT_EQ(hs.sat, 0.0);
  EXPECT_DOUBLE_EQ(MeanValue(white), 255.0);
  const LabMean lab = MeanLab(white);
  EXPECT_DOUBLE_EQ(lab.l, 255.0);
  EXPECT_DOUBLE_EQ(lab.a, 128.0);
  EXPECT_DOUBLE_EQ(lab.b, 128.0);
}

TEST(ColorMetrics, PureBlueIsHue120OfAFullCircleAndFullySaturated) {
  const cv::Mat blue(3, 3, CV_8UC3, cv::Scalar(255, 0, 0));  // B, G, R
  const HueSatMean hs = MeanHueSat(blue);
  EXPECT_DOUBLE_EQ(hs.hue, 120.0 / 180.0);
  EXPECT_DOUBLE_EQ(hs.sat, 1.0);
  EXPECT_DOUBLE_EQ(MeanValue(blue), 255.0);
  const LabMean lab = MeanLab(blue);
  EXPECT_LT(lab.b, 128.0);  // blue lies on the negative b side
}

TEST(ColorMetrics, HueMeanIsArithmeticNotCircular) {
  // Half deep red (hue 0), half red with a touch of blue (hue 178): both nearly the same colour,
  // yet the plain mean sits at the opposite side of the circle.
  cv::Mat image(2, 2, CV_8UC3);
  image.row(0).setTo(cv::Scalar(0, 0, 255));
  image.row(1).setTo(cv::Scalar(17, 0, 255));
  cv::Mat hsv;
  cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
  ASSERT_EQ(hsv.at<cv::Vec3b>(0, 0)[0], 0);
  ASSERT_EQ(hsv.at<cv::Vec3b>(1, 0)[0], 178);
  EXPECT_DOUBLE_EQ(MeanHueSat(image).hue, 89.0 / 180.0);
}

TEST(ColorMetrics, FourChannelsMeasureLikeThreeAndAlphaIsIgnored) {
  cv::Mat bgr(9, 11, CV_8UC3);
  cv::randu(bgr, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::Mat alpha(bgr.size(), CV_8UC1);
  cv::randu(alpha, cv::Scalar::all(0), cv::Scalar::all(256));
  std::vector<cv::Mat> planes;
  cv::split(bgr, planes);
  planes.push_back(alpha);
  cv::Mat bgra;
  cv::merge(planes, bgra);

  EXPECT_EQ(MeanHueSat(bgra).hue, MeanHueSat(bgr).hue);
  EXPECT_EQ(MeanHueSat(bgra).sat, MeanHueSat(bgr).sat);
  EXPECT_EQ(MeanValue(bgra), MeanValue(bgr));
  EXPECT_EQ(MeanLab(bgra).l, MeanLab(bgr).l);
  EXPECT_EQ(MeanLab(bgra).a, MeanLab(bgr).a);
  EXPECT_EQ(MeanLab(bgra).b, MeanLab(bgr).b);
}

}  // namespace
}  // namespace tavrik
