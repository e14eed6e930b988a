#include "detect/match_score.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "registry/template_kind.h"

namespace tavrik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

cv::Mat Noise(int rows, int cols, std::uint64_t seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// A template as registration builds it: grey copy always, a full edge mask for kind t2.
TemplateInfo Template(const std::string& name, const cv::Mat& image) {
  TemplateInfo info;
  info.name = name;
  info.image = image.clone();
  cv::cvtColor(info.image, info.gray, cv::COLOR_BGR2GRAY);
  AssignKind(info);
  if (info.kind == TemplateKindId::kT2) {
    info.edgeMask = cv::Mat(image.size(), CV_8U, cv::Scalar(255));
  }
  return info;
}

class ScoreVariantTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ScoreVariantTest, RegionTooSmallIsMinusOne) {
  const TemplateInfo info = Template(GetParam(), Noise(12, 16, 1));
  for (const cv::Size size : {cv::Size(15, 12), cv::Size(16, 11), cv::Size(0, 0)}) {
    const cv::Mat region = size.area() ? Noise(size.height, size.width, 2) : cv::Mat();
    const MatchScore score = ScoreTemplateMatch(region, info);
    EXPECT_EQ(score.raw, -1.0) << size;
    EXPECT_EQ(score.mapMean, 0.0);
    EXPECT_EQ(score.matchLoc, (IntPoint{0, 0}));
  }
}

TEST_P(ScoreVariantTest, ExactlySizedRegionGivesOneByOneMap) {
  const cv::Mat image = Noise(12, 16, 3);
  const TemplateInfo info = Template(GetParam(), image);
  const MatchScore score = ScoreTemplateMatch(image, info);
  EXPECT_EQ(score.matchLoc, (IntPoint{0, 0}));
  EXPECT_NEAR(score.raw, 1.0, 1e-5);
  if (info.isT3) {
    EXPECT_EQ(score.mapMean, 0.0);
  } else {
    EXPECT_EQ(score.mapMean, score.raw) << "the mean of a 1x1 map is its only value";
  }
}

TEST_P(ScoreVariantTest, FindsTemplateCutFromRegion) {
  const cv::Mat region = Noise(60, 80, 4);
  const TemplateInfo info = Template(GetParam(), region(cv::Rect(37, 21, 16, 12)));
  const MatchScore score = ScoreTemplateMatch(region, info);
  EXPECT_EQ(score.matchLoc, (IntPoint{37, 21}));
  EXPECT_NEAR(score.raw, 1.0, 1e-4);
  if (info.isT3) {
    EXPECT_EQ(score.mapMean, 0.0);
  } else {
    // Uncorrelated noise elsewhere keeps the map's mean far below the peak.
    EXPECT_GT(score.mapMean, -0.2);
    EXPECT_LT(score.mapMean, 0.9);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScoreVariantTest,
                         ::testing::Values("plain", "t1:a", "t2:a", "t3:a"));

TEST(ScoreTemplateMatchTest, PerfectT3MatchScoresOneWithoutBaseline) {
  const cv::Mat region = Noise(40, 40, 5);
  TemplateInfo info = Template("t3:a", region(cv::Rect(5, 7, 10, 10)));
  MatchScore score = ScoreTemplateMatch(region(cv::Rect(5, 7, 10, 10)), info);
  EXPECT_EQ(score.raw, 1.0);
  EXPECT_EQ(score.mapMean, 0.0);

  // Squared difference is chosen by the parsed kind even without the flag, and by the flag alone.
  info.isT3 = false;
  score = ScoreTemplateMatch(region, info);
  EXPECT_EQ(score.mapMean, 0.0);
  EXPECT_EQ(score.matchLoc, (IntPoint{5, 7}));
  info.name = "plain";
  info.kind = TemplateKindId::kGeneral;
  info.isT3 = true;
  score = ScoreTemplateMatch(region, info);
  EXPECT_EQ(score.mapMean, 0.0);
  EXPECT_EQ(score.matchLoc, (IntPoint{5, 7}));
}

// A texture drawn in the blue channel of the template and, with the same grey levels, in the red
// channel of the region: identical in grey, orthogonal in colour.
TEST(ScoreTemplateMatchTest, T2MatchesColourWhileGreyKindsMatchGrey) {
  cv::Mat texture(16, 16, CV_8U);
  cv::RNG(6).fill(texture, cv::RNG::UNIFORM, 0, 256);
  cv::Mat zero = cv::Mat::zeros(texture.size(), CV_8U);
  cv::Mat red;
  texture.convertTo(red, CV_8U, 0.114 / 0.299);
  cv::Mat blueTemplate;
  cv::Mat redRegion;
  cv::merge(std::vector<cv::Mat>{texture, zero, zero}, blueTemplate);
  cv::merge(std::vector<cv::Mat>{zero, zero, red}, redRegion);

  const MatchScore grey = ScoreTemplateMatch(redRegion, Template("t1:a", blueTemplate));
  EXPECT_GT(grey.raw, 0.95);
  const MatchScore colour = ScoreTemplateMatch(redRegion, Template("t2:a", blueTemplate));
  EXPECT_LT(colour.raw, 0.05);
}

TEST(ScoreTemplateMatchTest, T2IgnoresPixelsOutsideItsMask) {
  const cv::Mat region = Noise(40, 50, 7);
  cv::Mat image = region(cv::Rect(20, 10, 16, 16)).clone();
  image(cv::Rect(8, 0, 8, 16)).setTo(cv::Scalar(255, 0, 255));  // garbage in the right half
  TemplateInfo info = Template("t2:a", image);
  info.edgeMask(cv::Rect(8, 0, 8, 16)).setTo(0);
  const MatchScore masked = ScoreTemplateMatch(region, info);
  EXPECT_EQ(masked.matchLoc, (IntPoint{20, 10}));
  EXPECT_NEAR(masked.raw, 1.0, 1e-4);

  // A record is read-only once evaluated (its prepared spectra are kept with it): the unmasked
  // variant is a new record.
  TemplateInfo unmasked = info;
  unmasked.edgeMask = cv::Mat(info.edgeMask.size(), CV_8U, cv::Scalar(255));
  EXPECT_LT(ScoreTemplateMatch(region, unmasked).raw, 0.95);
}

TEST(ScoreTemplateMatchTest, BlackWindowsCarryNoEvidenceAndScoreZero) {
  // Masked correlation over black windows would divide 0 by 0: they score 0 instead.
  const TemplateInfo info = Template("t2:a", Noise(8, 8, 8));
  cv::Mat black(30, 30, CV_8UC3, cv::Scalar::all(0));
  MatchScore score = ScoreTemplateMatch(black, info);
  EXPECT_EQ(score.raw, 0.0);
  EXPECT_EQ(score.mapMean, 0.0);
  EXPECT_EQ(score.matchLoc, (IntPoint{0, 0}));

  // One real copy: the peak is found, and the mean counts the black placements as 0 (where
  // cv::matchTemplate's own map holds NaN and poisons its mean).
  info.image.copyTo(black(cv::Rect(11, 13, 8, 8)));
  cv::Mat map;
  cv::matchTemplate(black, info.image, map, cv::TM_CCORR_NORMED, info.edgeMask);
  ASSERT_FALSE(cv::checkRange(map)) << "cv::matchTemplate no longer gives NaN or inf here";
  cv::Mat patched = map.clone();
  patched.forEach<float>([](float& v, const int*) {
    if (!std::isfinite(v)) v = 0.0f;
  });
  score = ScoreTemplateMatch(black, info);
  EXPECT_NEAR(score.raw, 1.0, 1e-6);
  EXPECT_EQ(score.matchLoc, (IntPoint{11, 13}));
  EXPECT_GT(score.mapMean, 0.0);
  EXPECT_NEAR(score.mapMean, cv::mean(patched)[0], 1e-5);
}

TEST(ScoreTemplateMatchTest, NonFiniteMapValuesReadAsEmptyPlacements) {
  // Only the cv::matchTemplate fallback can still produce them.
  cv::Mat map = (cv::Mat_<float>(2, 3) << kNaN, 0.5f, kInf, 0.5f, -kInf, 0.25f);
  MatchScore score = ScoreFromMap(map, false);
  EXPECT_EQ(score.raw, 0.5);
  EXPECT_EQ(score.matchLoc, (IntPoint{1, 0}));  // the first of the two maxima in row order
  EXPECT_NEAR(score.mapMean, 1.25 / 6, 1e-12);
  score = ScoreFromMap(map, true);  // squared difference: empty reads 1, the worst
  EXPECT_EQ(score.raw, 0.75);
  EXPECT_EQ(score.matchLoc, (IntPoint{2, 1}));
  EXPECT_EQ(score.mapMean, 0.0);
}

// The squared-difference replacement cannot be provoked through OpenCV; check the rule itself.
TEST(ScoreTemplateMatchTest, SqDiffReplacementRule) {
  EXPECT_EQ(SqDiffScoreFromMin(0.25), 0.75);
  EXPECT_EQ(SqDiffScoreFromMin(-0.5), 1.0);
  EXPECT_EQ(SqDiffScoreFromMin(1.5), 0.0);
  EXPECT_EQ(SqDiffScoreFromMin(kNaN), 0.0);
  EXPECT_EQ(SqDiffScoreFromMin(-kInf), 0.0);
  EXPECT_EQ(CorrelationScoreFromMax(kInf), 0.0);
}

}  // namespace
}  // namespace tavrik
