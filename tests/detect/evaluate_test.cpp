#include "detect/evaluate.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "base/clock.h"
#include "detect/color_metrics.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "registry/template_kind.h"
#include "tests/ipc/ring_test_util.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

// A fake screen of noise at (0,0); rectangles reaching past it come back black there, as a real
// capture does.
class FakeScreen {
 public:
  FakeScreen() : pixels_(300, 400, CV_8UC3) { cv::RNG(11).fill(pixels_, cv::RNG::UNIFORM, 0, 256); }

  cv::Mat Capture(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
    ++calls;
    if (w < 1 || h < 1) return {};
    cv::Mat out(h, w, CV_8UC3, cv::Scalar::all(0));
    const cv::Rect wanted(x, y, w, h);
    const cv::Rect visible = wanted & cv::Rect(0, 0, pixels_.cols, pixels_.rows);
    if (visible.area() > 0) pixels_(visible).copyTo(out(visible - wanted.tl()));
    return out;
  }
  CaptureFunction Function() {
    return FromImageSource([this](std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
      return Capture(x, y, w, h);
    });
  }
  cv::Mat& Pixels() { return pixels_; }
  int calls = 0;

 private:
  cv::Mat pixels_;
};

// A template registered as the add handler would: cut from the screen at (150,120), 40x30.
TemplateInfo CutTemplate(const std::string& name, const cv::Mat& screen) {
  TemplateInfo info;
  info.name = name;
  info.image = screen(cv::Rect(150, 120, 40, 30)).clone();
  cv::cvtColor(info.image, info.gray, cv::COLOR_BGR2GRAY);
  AssignKind(info);
  if (info.kind == TemplateKindId::kT2) {
    info.edgeMask = cv::Mat(info.image.size(), CV_8U, cv::Scalar(255));
  }
  info.threshold = info.kind == TemplateKindId::kT2 ? 0.97 : 0.9;
  info.baselineMargin = 0.0;
  info.hueSat = MeanHueSat(info.image);
  info.lab = MeanLab(info.image);
  info.windowOrigin = {30, 10};
  info.rawRoi = {100, 100, 120, 80};  // captures (130,110) 120x80; the match sits at (20,10)
  info.roi = info.rawRoi;
  return info;
}

class EvaluateTemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writer_ = HitRingWriter::Create();
    ASSERT_TRUE(writer_->Ready());
    peer_ = SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(peer_.View(), nullptr);
  }

  EvaluationOutcome Evaluate(const TemplateInfo& info, const CaptureFunction& capture,
                             Evaluation* record = nullptr) {
    return EvaluateTemplate(info, log_, writer_.get(), capture, record);
  }
  std::uint32_t Published() const { return test::ReadU32(peer_.View(), 0); }
  test::PeerHitSlot Slot(std::uint32_t index) const {
    return test::ReadHitSlot(peer_.View(), index);
  }

  test::ScopedIpcNamespace ipc_;
  std::unique_ptr<HitRingWriter> writer_;
  SharedMapping peer_;
  std::vector<std::string> lines_;
  LogSink log_{[this](std::string_view line) { lines_.emplace_back(line); }};
  FakeScreen screen_;
};

TEST_F(EvaluateTemplateTest, HitIsReportedAtTheMatchPosition) {
  const TemplateInfo info = CutTemplate("T1:Icon:left", screen_.Pixels());
  const std::int64_t before = WallClockMs();
  ASSERT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kDecided);
  const std::int64_t after = WallClockMs();

  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0].rfind("[HIT] T1:Icon:left score=1 pos=(120,110) abs=(150,120)"
                            " roi=(130,110,120x80) baseline=",
                            0),
            0u)
      << lines_[0];
  ASSERT_EQ(Published(), 1u);
  const test::PeerHitSlot slot = Slot(0);
  EXPECT_EQ(slot.isHit, 1u);
  EXPECT_EQ(slot.posX, 120);
  EXPECT_EQ(slot.posY, 110);
  EXPECT_EQ(slot.roiWidth, 120);
  EXPECT_EQ(slot.roiHeight, 80);
  EXPECT_EQ(slot.name, u"T1");
  EXPECT_FLOAT_EQ(slot.score, 1.0f);
  EXPECT_EQ(slot.threshold, 0.9f);
  EXPECT_GE(slot.timestampMs, before);
  EXPECT_LE(slot.timestampMs, after);
}

TEST_F(EvaluateTemplateTest, EveryKindFindsItsTemplateOnTheScreen) {
  for (const char* name : {"plain", "t1:a", "t2:a", "t3:a"}) {
    const TemplateInfo info = CutTemplate(name, screen_.Pixels());
    Evaluation e;
    ASSERT_EQ(Evaluate(info, screen_.Function(), &e), EvaluationOutcome::kDecided) << name;
    EXPECT_TRUE(e.hit) << name << " score " << e.score;
    EXPECT_EQ(e.match.matchLoc, (IntPoint{20, 10})) << name;
    EXPECT_EQ(e.matchRect, (IntRect{20, 10, 40, 30})) << name;
    EXPECT_NEAR(e.spotHueSat.sat, info.hueSat.sat, 1e-12) << name;
  }
  EXPECT_EQ(Published(), 4u);
}

TEST_F(EvaluateTemplateTest, ChangedContentIsAPublishedMiss) {
  const TemplateInfo info = CutTemplate("t1:Icon", screen_.Pixels());
  cv::RNG(99).fill(screen_.Pixels(), cv::RNG::UNIFORM, 0, 256);
  ASSERT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kDecided);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0].rfind("[MISS] t1:Icon score=", 0), 0u) << lines_[0];
  EXPECT_NE(lines_[0].find(" reason=score<threshold minAdj=0 threshold=0.9 raw="),
            std::string::npos)
      << lines_[0];
  ASSERT_EQ(Published(), 1u);
  EXPECT_EQ(Slot(0).isHit, 0u);
  EXPECT_EQ(Slot(0).name, u"t1");
}

TEST_F(EvaluateTemplateTest, RegionSmallerThanTemplateIsDecidedAsMiss) {
  TemplateInfo info = CutTemplate("t1:Icon", screen_.Pixels());
  info.rawRoi = {100, 100, 39, 80};
  Evaluation e;
  ASSERT_EQ(Evaluate(info, screen_.Function(), &e), EvaluationOutcome::kDecided);
  EXPECT_EQ(e.raw, -1.0);
  EXPECT_EQ(e.score, -1.0);
  EXPECT_EQ(e.reason, "score<threshold");
  EXPECT_EQ(e.matchRect, (IntRect{0, 0, 39, 30}));  // colour still taken over the clipped spot
  EXPECT_EQ(Published(), 1u);
}

TEST_F(EvaluateTemplateTest, EmptyCaptureIsAFailureWithoutMessage) {
  const TemplateInfo info = CutTemplate("t1:Icon", screen_.Pixels());
  const CaptureFunction nothing = FromImageSource(
      [](std::int32_t, std::int32_t, std::int32_t, std::int32_t) { return cv::Mat(); });
  EXPECT_EQ(Evaluate(info, nothing), EvaluationOutcome::kCaptureFailed);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], "[MISS] t1:Icon reason=captureFailed roi=(130,110,120x80)");
  EXPECT_EQ(Published(), 0u);
}

TEST_F(EvaluateTemplateTest, RectangleOutsideInt32IsACaptureFailure) {
  TemplateInfo info = CutTemplate("big", screen_.Pixels());
  info.windowOrigin = {kInt32Max - 10, 10};  // corner past the int32 range
  EXPECT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kCaptureFailed);
  info.windowOrigin = {kInt32Max - 150, 10};  // corner fits, far edge does not
  EXPECT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kCaptureFailed);
  info.windowOrigin = {0, kInt32Min};
  info.rawRoi.y = -1;
  EXPECT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kCaptureFailed);

  EXPECT_EQ(screen_.calls, 0) << "nothing is captured for an unrepresentable rectangle";
  EXPECT_EQ(Published(), 0u);
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[0], "[MISS] big reason=captureFailed roi=(2147483647,110,120x80)");
  EXPECT_EQ(lines_[1], "[MISS] big reason=captureFailed roi=(2147483597,110,120x80)");
  EXPECT_EQ(lines_[2], "[MISS] big reason=captureFailed roi=(100,-2147483648,120x80)");

  // Exactly reaching the last representable column is still captured.
  info.windowOrigin = {kInt32Max - 220, 0};
  info.rawRoi = {100, 0, 120, 80};
  EXPECT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kDecided);
  EXPECT_EQ(screen_.calls, 1);
}

TEST_F(EvaluateTemplateTest, ErrorsAreContainedToOneTemplate) {
  const TemplateInfo info = CutTemplate("t2:Icon", screen_.Pixels());
  const CaptureFunction throwsCv =
      FromImageSource([](std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
        CV_Error(cv::Error::StsInternal, "capture exploded\nsecond line");
        return cv::Mat();
      });
  const CaptureFunction throwsAlloc =
      FromImageSource([](std::int32_t, std::int32_t, std::int32_t, std::int32_t) -> cv::Mat {
        throw std::bad_alloc();
      });
  // A two-channel image makes OpenCV itself fail inside matching.
  const CaptureFunction wrongType =
      FromImageSource([](std::int32_t, std::int32_t, std::int32_t w, std::int32_t h) {
        return cv::Mat(h, w, CV_8UC2, cv::Scalar::all(7));
      });
  const CaptureFunction throwsInt = FromImageSource(
      [](std::int32_t, std::int32_t, std::int32_t, std::int32_t) -> cv::Mat { throw 42; });

  for (const CaptureFunction* capture : {&throwsCv, &throwsAlloc, &wrongType, &throwsInt}) {
    EXPECT_EQ(Evaluate(info, *capture), EvaluationOutcome::kError);
  }
  EXPECT_EQ(Published(), 0u);
  ASSERT_EQ(lines_.size(), 4u);
  for (const std::string& line : lines_) {
    EXPECT_EQ(line.rfind("[MISS] t2:Icon reason=error roi=(130,110,120x80) what=", 0), 0u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
  EXPECT_NE(lines_[0].find("capture exploded"), std::string::npos) << lines_[0];
  EXPECT_NE(lines_[0].find("second line"), std::string::npos) << lines_[0];
  EXPECT_NE(lines_[1].find("bad_alloc"), std::string::npos) << lines_[1];

  // The next template goes on normally.
  EXPECT_EQ(Evaluate(info, screen_.Function()), EvaluationOutcome::kDecided);
  EXPECT_EQ(Published(), 1u);
}

TEST(PlanCaptureTest, ScaleGivesLogicalScreenRoi) {
  TemplateInfo info;
  info.windowOrigin = {31, 11};
  info.rawRoi = {100, 100, 120, 80};
  info.roi = {50, 50, 60, 0};
  info.scale = 2.0;
  Evaluation e;
  ASSERT_TRUE(PlanCapture(info, e));
  EXPECT_EQ(e.captureRect, (IntRect{131, 111, 120, 80}));
  EXPECT_EQ(e.invScale, 0.5);
  EXPECT_TRUE(e.scaled);
  EXPECT_EQ(e.screenRoi, (IntRect{66, 56, 60, 1}));  // 65.5 and 55.5 round away from zero

  info.scale = 0.0;
  ASSERT_TRUE(PlanCapture(info, e));
  EXPECT_EQ(e.invScale, 1.0);
  EXPECT_TRUE(e.scaled);

  info.scale = 1.0000005;
  ASSERT_TRUE(PlanCapture(info, e));
  EXPECT_FALSE(e.scaled);
}

}  // namespace
}  // namespace tavrik
