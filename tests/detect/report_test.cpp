#include "detect/report.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace tavrik {
namespace {

TemplateInfo Info(const std::string& name) {
  TemplateInfo info;
  info.name = name;
  info.threshold = 0.9;
  info.baselineMargin = 0.0;
  info.rawRoi = {100, 50, 200, 120};
  info.roi = info.rawRoi;
  info.windowOrigin = {1000, 500};
  return info;
}

// An unscaled evaluation at the capture rectangle windowOrigin + rawRoi.
Evaluation Unscaled(const TemplateInfo& info, IntPoint matchLoc) {
  Evaluation e;
  e.captureRect = {info.windowOrigin.x + info.rawRoi.x, info.windowOrigin.y + info.rawRoi.y,
                   info.rawRoi.width, info.rawRoi.height};
  e.screenRoi = e.captureRect;
  e.match.matchLoc = matchLoc;
  return e;
}

TEST(ReportLineTest, HitLineUnscaled) {
  const TemplateInfo info = Info("t2:left");
  Evaluation e = Unscaled(info, {7, 9});
  e.hit = true;
  e.score = 0.975;
  e.raw = 0.98;
  e.baseline = 0.3125;
  e.adj = 0.6625;
  e.satAdj = 0.0;
  e.colorPen = 1e-07;
  ComputeReportPositions(e, info);
  EXPECT_EQ(e.pos, (IntPoint{107, 59}));
  EXPECT_EQ(e.abs, (IntPoint{1107, 559}));
  EXPECT_EQ(e.displayName, "t2");
  EXPECT_EQ(ComposeDecisionLine(e, info),
            "[HIT] t2:left score=0.975 pos=(107,59) abs=(1107,559) roi=(1100,550,200x120)"
            " baseline=0.3125 adj=0.6625 raw=0.98 satAdj=0 colorPen=1e-07");
}

TEST(ReportLineTest, MissLineCarriesReasonMarginAndThreshold) {
  const TemplateInfo info = Info("t3:icon");
  Evaluation e = Unscaled(info, {0, 0});
  e.hit = false;
  e.whitePatch = true;
  e.reason = kReasonWhitePatch;
  e.score = -1.0;
  e.raw = 0.9;
  e.baseline = 0.0;
  e.adj = -1.0;
  e.satAdj = -0.05;
  e.colorPen = 0.00123456789;
  ComputeReportPositions(e, info);
  EXPECT_EQ(ComposeDecisionLine(e, info),
            "[MISS] t3:icon score=-1 pos=(100,50) abs=(1100,550) roi=(1100,550,200x120)"
            " baseline=0 adj=-1 reason=whitePatch minAdj=0 threshold=0.9 raw=0.9 satAdj=-0.05"
            " colorPen=0.00123457");
}

TEST(ReportLineTest, ScaledLinesAddRawKeysAndRoundOffsetsPerAxis) {
  TemplateInfo info = Info("Scaled");
  info.scale = 2.0;
  info.roi = {50, 25, 100, 60};
  Evaluation e = Unscaled(info, {3, 5});
  e.invScale = 0.5;
  e.scaled = true;
  e.screenRoi = {550, 275, 100, 60};
  e.hit = false;
  e.reason = kReasonScoreBelowThreshold;
  e.score = 0.5;
  e.raw = 0.5;
  e.adj = 0.5;
  ComputeReportPositions(e, info);
  // Offsets 1.5 and 2.5 round away from zero to 2 and 3.
  EXPECT_EQ(e.pos, (IntPoint{52, 28}));
  EXPECT_EQ(e.rawPos, (IntPoint{103, 55}));
  EXPECT_EQ(e.abs, (IntPoint{552, 278}));
  EXPECT_EQ(e.rawAbs, (IntPoint{1103, 555}));
  EXPECT_EQ(ComposeDecisionLine(e, info),
            "[MISS] Scaled score=0.5 pos=(52,28) rawPos=(103,55) abs=(552,278)"
            " rawAbs=(1103,555) roi=(550,275,100x60) rawRoi=(1100,550,200x120) baseline=0"
            " adj=0.5 reason=score<threshold minAdj=0 threshold=0.9 raw=0.5 satAdj=0 colorPen=0");
}

TEST(ReportLineTest, PositionsSaturateInsteadOfOverflowing) {
  TemplateInfo info = Info("edge");
  info.roi.x = std::numeric_limits<std::int32_t>::max();
  info.rawRoi.y = std::numeric_limits<std::int32_t>::max() - 1;
  info.windowOrigin = {0, 0};
  Evaluation e = Unscaled(info, {10, 10});
  ComputeReportPositions(e, info);
  EXPECT_EQ(e.pos.x, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(e.rawPos.y, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(e.rawAbs.y, std::numeric_limits<std::int32_t>::max());
}

TEST(ReportLineTest, CaptureFailureAndErrorLines) {
  const IntRect screen{10, -20, 30, 40};
  const IntRect raw{20, -40, 60, 80};
  EXPECT_EQ(ComposeCaptureFailureLine("t1:a", screen, raw, false),
            "[MISS] t1:a reason=captureFailed roi=(10,-20,30x40)");
  EXPECT_EQ(ComposeCaptureFailureLine("t1:a", screen, raw, true),
            "[MISS] t1:a reason=captureFailed roi=(10,-20,30x40) rawRoi=(20,-40,60x80)");
  EXPECT_EQ(ComposeErrorLine("b", screen, "OpenCV(4.6.0) x.cpp:1: error: (-215)\nin 'f'\n"),
            "[MISS] b reason=error roi=(10,-20,30x40) what=OpenCV(4.6.0) x.cpp:1: error: (-215)"
            "\\u{A}in 'f'");
}

}  // namespace
}  // namespace tavrik
