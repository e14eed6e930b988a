#include "detect/decision.h"

#include <gtest/gtest.h>

#include <string>

#include "registry/template_kind.h"

namespace tavrik {
namespace {

// A template of the given name with no reference colour (every colour term off) and the values
// registration stores: threshold 0.9, baselineMargin 0.
TemplateInfo Template(const std::string& name) {
  TemplateInfo info;
  info.name = name;
  info.threshold = 0.9;
  info.baselineMargin = 0.0;
  info.hueSat = {-1.0, -1.0};
  info.lab = {-1.0, -1.0, -1.0};
  AssignKind(info);
  return info;
}

Evaluation Scored(const TemplateInfo& /*info*/, double raw, double baseline = 0.0) {
  Evaluation e;
  e.raw = raw;
  e.baseline = baseline;
  return e;  // spot colour stays at the -1 "not computed" markers
}

TEST(DecisionTest, PlainScoresPassThroughAndEqualityHits) {
  const TemplateInfo info = Template("x");
  Evaluation e = Scored(info, 0.95);
  Decide(e, info);
  EXPECT_EQ(e.colorPen, 0.0);
  EXPECT_EQ(e.satAdj, 0.0);
  EXPECT_EQ(e.score, 0.95);
  EXPECT_TRUE(e.hit);
  EXPECT_TRUE(e.reason.empty());

  // Without a colour penalty the score is not clamped: masked correlation can exceed 1 slightly.
  e = Scored(info, 1.0000001);
  Decide(e, info);
  EXPECT_EQ(e.score, 1.0000001);

  e = Scored(info, info.threshold);
  Decide(e, info);
  EXPECT_TRUE(e.hit) << "a score equal to the threshold hits";

  e = Scored(info, 0.5);
  Decide(e, info);
  EXPECT_FALSE(e.hit);
  EXPECT_EQ(e.reason, "score<threshold");
}

TEST(DecisionTest, BaselineMargin) {
  // Margin 0 (what registration stores): a high baseline never rejects.
  TemplateInfo info = Template("x");
  Evaluation e = Scored(info, 0.95, 0.99);
  Decide(e, info);
  EXPECT_TRUE(e.marginOk);
  EXPECT_TRUE(e.hit);
  EXPECT_NEAR(e.adj, -0.04, 1e-12);

  info.baselineMargin = 0.05;
  e = Scored(info, 0.92, 0.9);
  Decide(e, info);
  EXPECT_NEAR(e.adj, 0.02, 1e-12);
  EXPECT_FALSE(e.marginOk);
  EXPECT_FALSE(e.hit);
  EXPECT_EQ(e.reason, "adj<baselineMargin");

  e = Scored(info, 0.96, 0.9);
  Decide(e, info);
  EXPECT_TRUE(e.hit);

  // Kind t3 skips the margin test altogether.
  TemplateInfo t3 = Template("t3:icon");
  t3.baselineMargin = 0.05;
  e = Scored(t3, 0.92, 0.9);
  Decide(e, t3);
  EXPECT_TRUE(e.marginOk);
  EXPECT_TRUE(e.hit);
}

TEST(DecisionTest, WhitePatchPenaltyAndVeto) {
  const TemplateInfo info = Template("t3:icon");
  auto pale = [&](double raw, double value) {
    Evaluation e = Scored(info, raw);
    e.spotHueSat = {0.5, 0.1};
    e.spotValue = value;
    Decide(e, info);
    return e;
  };

  Evaluation e = pale(0.95, 230.0);
  EXPECT_NEAR(e.score, 0.93, 1e-12);
  EXPECT_FALSE(e.whitePatch);
  EXPECT_TRUE(e.hit);

  e = pale(0.90, 230.0);
  EXPECT_TRUE(e.whitePatch);
  EXPECT_EQ(e.score, -1.0);
  EXPECT_FALSE(e.hit);
  EXPECT_EQ(e.reason, "whitePatch");

  // Brightness must exceed the bound strictly.
  e = pale(0.90, 215.0);
  EXPECT_FALSE(e.whitePatch);
  EXPECT_EQ(e.score, 0.90);

  // Unmeasured brightness switches the test off.
  e = pale(0.90, -1.0);
  EXPECT_FALSE(e.whitePatch);

  // Only kind t3 has the test.
  const TemplateInfo t1 = Template("t1:icon");
  e = Scored(t1, 0.90);
  e.spotHueSat = {0.5, 0.1};
  e.spotValue = 230.0;
  Decide(e, t1);
  EXPECT_FALSE(e.whitePatch);
  EXPECT_EQ(e.score, 0.90);
}

TEST(DecisionTest, SaturationAdjustmentByKind) {
  auto saturated = [](const std::string& name, double templateSat, double spotSat) {
    TemplateInfo info = Template(name);
    info.hueSat = {-1.0, templateSat};  // hue off, so only the sat term contributes to colorPen
    Evaluation e = Scored(info, 0.99);
    e.spotHueSat = {-1.0, spotSat};
    Decide(e, info);
    return e;
  };

  Evaluation e = saturated("t2:a", 0.2, 0.9);  // v = -0.035 clamped to -0.02
  EXPECT_NEAR(e.satAdj, -0.02, 1e-15);
  EXPECT_NEAR(e.colorPen, 0.12 * 0.7 / 255.0, 1e-15);
  EXPECT_NEAR(e.score, 0.99 - 0.12 * 0.7 / 255.0 - 0.02, 1e-12);

  e = saturated("T1:a", 0.2, 0.9);  // v = -0.084 clamped to -0.05
  EXPECT_NEAR(e.satAdj, -0.05, 1e-15);
  EXPECT_NEAR(e.colorPen, 0.25 * 0.7 / 255.0, 1e-15);

  e = saturated("t1:a", 0.2, 0.3);  // within the limit: -0.012
  EXPECT_NEAR(e.satAdj, -0.012, 1e-15);

  e = saturated("t1:a", 0.9, 0.2);  // paler spot: no reward
  EXPECT_EQ(e.satAdj, 0.0);

  e = saturated("x", 0.2, 0.9);  // not a known kind: no adjustment at all
  EXPECT_EQ(e.satAdj, 0.0);
  EXPECT_NEAR(e.colorPen, 0.08 * 0.7 / 255.0, 1e-15);
}

TEST(DecisionTest, ColourTermsKeepTheirDoubleScaling) {
  TemplateInfo info = Template("t1:a");
  info.hueSat = {0.1, -1.0};
  Evaluation e = Scored(info, 0.95);
  e.spotHueSat = {0.9, -1.0};
  Decide(e, info);
  // No wrap-around: the difference 0.8 is far below 180, so it is divided by 180 as it stands.
  EXPECT_NEAR(e.colorPen, 0.25 * 0.8 / 180.0, 1e-15);
  EXPECT_NEAR(e.score, 0.95 - 0.25 * 0.8 / 180.0, 1e-15);

  // Lightness and chroma, general weights; chroma is gated on the lightness values.
  TemplateInfo x = Template("x");
  x.lab = {100.0, 128.0, 128.0};
  e = Scored(x, 0.95);
  e.spotLab = {150.0, 130.0, 120.0};
  Decide(e, x);
  EXPECT_NEAR(e.colorPen, 0.06 * 0.5 + 0.04 * (8.0 + 2.0) / 255.0, 1e-15);

  e = Scored(x, 0.95);
  e.spotLab = {-1.0, 130.0, 120.0};
  Decide(e, x);
  EXPECT_EQ(e.colorPen, 0.0);
  EXPECT_EQ(e.score, 0.95);
}

TEST(DecisionTest, RegionSmallerThanTemplateAlwaysMisses) {
  // raw -1 from scoring; every adjustment only lowers the score and the clamp holds it at -1.
  TemplateInfo t1 = Template("t1:a");
  t1.hueSat = {0.1, 0.1};
  t1.lab = {10.0, 10.0, 10.0};
  Evaluation e = Scored(t1, -1.0);
  e.spotHueSat = {0.9, 0.9};
  e.spotLab = {250.0, 250.0, 250.0};
  e.spotValue = 250.0;
  Decide(e, t1);
  EXPECT_EQ(e.score, -1.0);
  EXPECT_FALSE(e.hit);
  EXPECT_EQ(e.reason, "score<threshold");

  const TemplateInfo t3 = Template("t3:a");
  e = Scored(t3, -1.0);
  e.spotHueSat = {0.0, 0.0};
  e.spotValue = 255.0;
  Decide(e, t3);
  EXPECT_EQ(e.score, -1.0);
  EXPECT_EQ(e.reason, "whitePatch");
}

}  // namespace
}  // namespace tavrik
