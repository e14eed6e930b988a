#include "detect/detection_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "detect/color_metrics.h"
#include "match/match_cache.h"
#include "tests/ipc/ring_test_util.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

TemplatePtr Named(const std::string& name) {
  auto info = std::make_shared<TemplateInfo>();
  info->name = name;
  return info;
}

TEST(TemplateSetLine, ReportsEachChangeOnceSortedByBytes) {
  std::string logged;
  TemplateSnapshot empty;
  EXPECT_EQ(TemplateSetLine(empty, logged), "");  // nothing at start-up

  TemplateSnapshot two{Named("beta"), Named("alpha")};
  EXPECT_EQ(TemplateSetLine(two, logged), "[Loop] templates=2 [alpha,beta]");
  EXPECT_EQ(TemplateSetLine(two, logged), "");

  TemplateSnapshot mixed{Named("b"), nullptr, Named("B"), Named("a:1"), Named("a")};
  EXPECT_EQ(TemplateSetLine(mixed, logged), "[Loop] templates=4 [B,a,a:1,b]");

  EXPECT_EQ(TemplateSetLine(empty, logged), "[Loop] templates=0");
  EXPECT_EQ(TemplateSetLine(empty, logged), "");
}

TEST(IsDue, CooldownBoundaries) {
  TemplateInfo info;
  info.cooldownMs = 1000;
  EXPECT_TRUE(IsDue(info, 0));  // never decided
  info.lastDecisionTime = 10 * kSecond;
  EXPECT_FALSE(IsDue(info, 11 * kSecond - 1));
  EXPECT_TRUE(IsDue(info, 11 * kSecond));  // equality counts
  info.cooldownMs = 0;
  EXPECT_TRUE(IsDue(info, 10 * kSecond));
  info.cooldownMs = std::numeric_limits<std::int64_t>::max();
  EXPECT_FALSE(IsDue(info, 20 * kSecond));  // no overflow into "due"
}

class DetectionPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writer_->Ready());
    ASSERT_NE(peer_.View(), nullptr);
  }
  std::uint32_t Published() const { return test::ReadU32(Ring(), 0); }
  void* Ring() const { return peer_.View(); }
  void Pass(std::int64_t now) {
    RunDetectionPass(context_, state_, [now] { return now; });
  }
  std::vector<std::u16string> Names() const {
    std::vector<std::u16string> out;
    for (std::uint32_t i = 0; i < Published(); ++i)
      out.push_back(test::ReadHitSlot(Ring(), i).name);
    return out;
  }
  TemplatePtr AddPatternTemplate(const std::string& name, std::int64_t cooldownMs) {
    auto info = Named(name);
    info->image = pattern_(cv::Rect(8, 8, 16, 16)).clone();
    cv::cvtColor(info->image, info->gray, cv::COLOR_BGR2GRAY);
    info->hueSat = MeanHueSat(info->image);
    info->lab = MeanLab(info->image);
    info->rawRoi = info->roi = IntRect{0, 0, pattern_.cols, pattern_.rows};
    info->cooldownMs = cooldownMs;
    registry_.ReplaceOrInsert(info->name, info);
    return info;
  }

  test::ScopedIpcNamespace ns_;
  std::unique_ptr<HitRingWriter> writer_ = HitRingWriter::Create();
  SharedMapping peer_ =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  TemplateRegistry registry_;
  std::vector<std::string> lines_;
  LogSink log_{[this](std::string_view l) { lines_.emplace_back(l); }};
  cv::Mat pattern_ = [] {
    cv::Mat m(40, 40, CV_8UC3, cv::Scalar(30, 60, 90));
    cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(255));
    return m;
  }();
  // Templates on different rectangles are evaluated on the pool's threads: what a capture
  // function touches must be thread-safe.
  std::atomic<int> captures_{0};
  std::function<void()> onCapture_;
  DetectionContext context_{
      registry_, writer_.get(), log_,
      FromImageSource([this](std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
        ++captures_;
        if (onCapture_) onCapture_();
        return pattern_.clone();
      }),
      kMaxPoolThreads};
  DetectionLoopState state_ = StartDetectionLoop(0);
};

TEST_F(DetectionPassTest, IdleHeartbeatEveryFiveSecondsFromTheLastOne) {
  Pass(1 * kSecond);
  Pass(5 * kSecond - 1);
  EXPECT_EQ(Published(), 0u);
  Pass(5 * kSecond);
  EXPECT_EQ(Names(), std::vector<std::u16string>{u"__hb__:IDLE"});
  Pass(9 * kSecond);
  EXPECT_EQ(Published(), 1u);
  Pass(10 * kSecond);
  EXPECT_EQ(Published(), 2u);
  EXPECT_TRUE(lines_.empty());
}

TEST_F(DetectionPassTest, BusyPassesDecideAndMoveTheIdleDeadline) {
  auto info = AddPatternTemplate("icon:a", 1000);
  Pass(1 * kSecond);
  ASSERT_EQ(Published(), 1u);
  const auto slot = test::ReadHitSlot(Ring(), 0);
  EXPECT_EQ(slot.name, u"icon");
  EXPECT_EQ(slot.isHit, 1u);
  EXPECT_EQ(slot.posX, 8);
  EXPECT_EQ(info->lastDecisionTime, 1 * kSecond);
  ASSERT_GE(lines_.size(), 2u);
  EXPECT_EQ(lines_[0], "[Loop] templates=1 [icon:a]");
  EXPECT_EQ(lines_[1].rfind("[HIT] icon:a score=", 0), 0u) << lines_[1];
  EXPECT_NE(lines_[1].find(" pos=(8,8) abs=(8,8) roi=(0,0,40x40) "), std::string::npos);

  Pass(1 * kSecond + 999'999'999);  // cooldown not over: skipped
  EXPECT_EQ(captures_, 1);
  Pass(2 * kSecond);
  EXPECT_EQ(captures_, 2);
  EXPECT_EQ(Published(), 2u);

  registry_.Clear();
  Pass(6 * kSecond);  // deadline was moved to 7 s by the last busy pass
  EXPECT_EQ(Published(), 2u);
  EXPECT_EQ(lines_.back(), "[Loop] templates=0");
  Pass(7 * kSecond);
  EXPECT_EQ(test::ReadHitSlot(Ring(), 2).name, u"__hb__:IDLE");
}

TEST_F(DetectionPassTest, FailedCaptureIsNotStampedAndIsRetried) {
  auto info = AddPatternTemplate("gone", 1000);
  context_.capture =
      FromImageSource([this](std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
        ++captures_;
        return cv::Mat();
      });
  Pass(1 * kSecond);
  Pass(1 * kSecond + 1);
  EXPECT_EQ(captures_, 2);
  EXPECT_EQ(Published(), 0u);
  EXPECT_EQ(info->lastDecisionTime, kNeverDecided);
  EXPECT_EQ(lines_.back(), "[MISS] gone reason=captureFailed roi=(0,0,40x40)");
}

TEST_F(DetectionPassTest, FailingEvaluationWaitsForItsCooldownAndLogsOncePerSecond) {
  auto slow = AddPatternTemplate("slow", 1000);
  auto fast = AddPatternTemplate("fast", 0);
  std::mutex widthsMutex;
  std::vector<std::int32_t> widths;
  context_.capture =
      FromImageSource([&](std::int32_t, std::int32_t, std::int32_t w, std::int32_t h) {
        const std::lock_guard<std::mutex> lock(widthsMutex);
        widths.push_back(w);
        return cv::Mat(h, w, CV_8UC2, cv::Scalar::all(7));  // matching fails on it
      });
  fast->rawRoi.width = 39;        // tells the two apart in the capture log
  fast->windowOrigin = {500, 0};  // another window: never read with "slow" in one grab
  lines_.clear();
  // Three seconds of passes 50 ms apart.
  for (std::int64_t t = kSecond; t < 4 * kSecond; t += kSecond / 20) Pass(t);

  const auto captured = [&](std::int32_t w) { return std::count(widths.begin(), widths.end(), w); };
  EXPECT_EQ(captured(40), 3);   // "slow" once per cooldown: at 1 s, 2 s and 3 s
  EXPECT_EQ(captured(39), 60);  // "fast" has no cooldown: every pass
  const auto errorLines = [&](const std::string& name) {
    return std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.rfind("[MISS] " + name + " reason=error ", 0) == 0;
    });
  };
  EXPECT_EQ(errorLines("slow"), 3);
  EXPECT_EQ(errorLines("fast"), 3);  // one a second, not twenty
  EXPECT_EQ(Published(), 0u);
  EXPECT_EQ(slow->lastDecisionTime, 3 * kSecond);
}

TEST_F(DetectionPassTest, TemplateRemovedDuringAPassIsReportedByThatPassOnly) {
  AddPatternTemplate("short", 0);
  onCapture_ = [this] { registry_.Erase("short"); };
  Pass(1 * kSecond);
  EXPECT_EQ(Published(), 1u);
  Pass(2 * kSecond);
  EXPECT_EQ(Published(), 1u);
  EXPECT_EQ(captures_, 1);
}

// A stop request made while a pass runs (here by the capture itself) lets the evaluation in
// progress finish and begins no other, on any thread: the pass reports what it evaluated, in
// full, and leaves the rest neither reported nor stamped.
TEST_F(DetectionPassTest, AStopRequestDuringTheGrabsLeavesEveryEvaluationOut) {
  for (const int threads : {1, kMaxPoolThreads}) {
    SCOPED_TRACE(threads);
    context_.poolThreads = threads;
    registry_.Clear();
    lines_.clear();
    std::vector<TemplatePtr> all;
    // Two rectangles (the widths tell them apart), two templates on each.
    for (const char* name : {"a1", "a2", "b1", "b2"}) {
      all.push_back(AddPatternTemplate(name, 0));
      if (name[0] == 'b') all.back()->rawRoi.width = 39;
    }
    std::stop_source stop;
    onCapture_ = [&] { stop.request_stop(); };
    const std::uint32_t before = Published();
    RunDetectionPass(
        context_, state_, [] { return 1 * kSecond; }, stop.get_token());
    onCapture_ = nullptr;

    // The grab in progress finished; no evaluation began, so nothing is reported or stamped.
    EXPECT_GE(captures_, 1);
    for (const TemplatePtr& info : all) EXPECT_EQ(info->lastDecisionTime, kNeverDecided);
    EXPECT_EQ(Published(), before);
    EXPECT_EQ(std::count_if(lines_.begin(), lines_.end(),
                            [](const std::string& l) {
                              return l.rfind("[HIT] ", 0) == 0 || l.rfind("[MISS] ", 0) == 0;
                            }),
              0);

    // The next pass, without a stop request, evaluates every template.
    RunDetectionPass(context_, state_, [] { return 2 * kSecond; });
    for (const TemplatePtr& info : all) EXPECT_EQ(info->lastDecisionTime, 2 * kSecond);
  }
}

TEST_F(DetectionPassTest, TemplatesWithoutAnImageAreSkippedSilently) {
  registry_.ReplaceOrInsert("blank", Named("blank"));
  Pass(1 * kSecond);
  EXPECT_EQ(captures_, 0);
  EXPECT_EQ(Published(), 0u);
  EXPECT_EQ(lines_, std::vector<std::string>{"[Loop] templates=1 [blank]"});
}

// Without a screen size at add, a region is held against the screen at the first pass that knows
// the size, before anything is captured for it: too large, it is refused with the add's line and
// leaves the registry; fitting, it is read from then on, and the size is not asked again.
TEST_F(DetectionPassTest, ARegionAddedWithoutAScreenSizeIsCheckedOnceTheSizeIsKnown) {
  std::optional<IntRect> screen;
  int asked = 0;
  context_.screenBounds = [&] {
    ++asked;
    return screen;
  };
  const struct {
    IntRect screen;
    bool refused;
  } cases[] = {{{0, 0, 39, 100}, true}, {{0, 0, 100, 39}, true}, {{-5, 0, 40, 40}, false}};
  std::int64_t now = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screen.width);
    screen.reset();
    asked = 0;
    AddPatternTemplate("icon", 0)->regionUnchecked = true;
    const int before = captures_;
    Pass(now += kSecond);
    EXPECT_EQ(captures_, before);  // not read while the size is unknown
    EXPECT_EQ(lines_.back().rfind("[MISS] icon reason=captureFailed", 0), 0u) << lines_.back();
    screen = c.screen;
    Pass(now += kSecond);
    const std::string refusal = "[Spec] Refused template 'icon': region 40x40 is larger than the "
                                "screen " +
                                std::to_string(c.screen.width) + "x" +
                                std::to_string(c.screen.height);
    EXPECT_EQ(std::count(lines_.begin(), lines_.end(), refusal), c.refused ? 1 : 0);
    EXPECT_EQ(registry_.SnapshotTemplates().empty(), c.refused);
    EXPECT_EQ(captures_ - before, c.refused ? 0 : 1);
    Pass(now += kSecond);
    EXPECT_EQ(asked, 2);  // the unknown pass and the pass that decided
  }
}

// Whatever a pass read goes with the last template that watched it: no view of the source's
// pixels outlives them (a large region's grab would stay in memory).
TEST_F(DetectionPassTest, AClearLetsGoOfThePixelsLastRead) {
  const cv::Mat source = pattern_.clone();  // handed out as is, not copied
  context_.capture = FromImageSource(
      [&](std::int32_t, std::int32_t, std::int32_t, std::int32_t) { return source; });
  AddPatternTemplate("icon", 0);
  Pass(1 * kSecond);
  ASSERT_EQ(Published(), 1u);
  EXPECT_GT(source.u->refcount, 1);  // held while watched
  registry_.Clear();
  Pass(2 * kSecond);
  EXPECT_EQ(source.u->refcount, 1);
}

// --- reading only what may have changed -------------------------------------------------------

// Beyond its budget the loop keeps deciding correctly, ends every pass within the budget, and the
// last template's removal gives back everything detection held, capture buffers included.
TEST_F(DetectionPassTest, OverTheBudgetOnlyWhatDoesNotFitIsPreparedAgainAndTheLastRemovalGivesEverythingBack) {
  int releases = 0;
  context_.releaseCapture = [&] { ++releases; };
  for (int i = 0; i < 4; ++i) {
    auto info = AddPatternTemplate("t" + std::to_string(i), 0);
    info->rawRoi = info->roi = IntRect{0, 0, 40 - 2 * i, 40};  // a rectangle each, one grab
  }
  Pass(1 * kSecond);
  const std::size_t unbounded = state_.cache->Bytes();
  ASSERT_EQ(state_.cache->Entries(), 4u);
  state_.cache = std::make_unique<MatchCache>(unbounded / 2);
  std::uint64_t unkept = 0;
  for (int pass = 2; pass < 5; ++pass) {
    const std::uint64_t preparedBefore = state_.cache->Preparations();
    // A changed corner, far from the match: every rectangle is matched again.
    pattern_.at<cv::Vec3b>(0, 0) = cv::Vec3b::all(static_cast<unsigned char>(pass));
    const std::uint32_t before = Published();
    Pass(pass * kSecond);
    ASSERT_EQ(Published(), before + 4);
    for (std::uint32_t i = before; i < Published(); ++i) {
      const auto slot = test::ReadHitSlot(Ring(), i);
      EXPECT_EQ(slot.isHit, 1u) << pass;
      EXPECT_EQ(slot.posX, 8) << pass;
    }
    EXPECT_LE(state_.cache->Bytes(), state_.cache->Budget()) << pass;
    // The same stable subset every pass: the others, and only they, are prepared again (in the
    // first pass also once when the cache turned them away).
    const std::uint64_t prepared = state_.cache->Preparations() - preparedBefore;
    if (pass == 2) unkept = 4 - state_.cache->Entries();
    EXPECT_EQ(prepared, pass == 2 ? 4 + unkept : unkept) << pass;
    EXPECT_EQ(state_.cache->Entries() + unkept, 4u) << pass;
  }
  EXPECT_GT(unkept, 0u);
  EXPECT_EQ(releases, 0);

  registry_.Clear();
  Pass(10 * kSecond);
  EXPECT_EQ(DetectionBytes(state_), 0u);
  EXPECT_EQ(state_.cache->Entries(), 0u);
  EXPECT_TRUE(state_.evaluations.empty());  // they held views of the last pixels
  EXPECT_EQ(state_.pool, nullptr);
  EXPECT_EQ(releases, 1);
  Pass(11 * kSecond);
  EXPECT_EQ(releases, 1);  // once per change, not per idle pass
}

class ScreenChangesPassTest : public DetectionPassTest {
 protected:
  void SetUp() override {
    DetectionPassTest::SetUp();
    context_.damage = [this](std::vector<IntRect>* damaged) {
      if (damaged == nullptr) {
        ++pauses_;
        return false;
      }
      ++takes_;
      *damaged = std::move(pending_);
      pending_.clear();
      return known_;
    };
  }
  std::uint64_t Matched() const { return state_.counters->matched.load(); }
  std::uint64_t Reused() const { return state_.counters->reused.load(); }
  std::uint8_t LastIsHit() const { return test::ReadHitSlot(Ring(), Published() - 1).isHit; }

  std::vector<IntRect> pending_;
  bool known_ = true;
  int takes_ = 0;
  int pauses_ = 0;
};

TEST_F(ScreenChangesPassTest, AStillRectangleIsNotReadAgainButEveryPassStillDecides) {
  AddPatternTemplate("icon", 0);
  Pass(1 * kSecond);
  EXPECT_EQ(captures_, 1);  // nothing remembered yet
  EXPECT_EQ(Matched(), 1u);
  ASSERT_EQ(Published(), 1u);
  EXPECT_EQ(LastIsHit(), 1u);
  const std::string firstLine = lines_.back();

  Pass(2 * kSecond);
  pending_ = {{40, 0, 10, 10}, {0, 40, 10, 10}};  // touching the corner, not inside
  Pass(3 * kSecond);
  EXPECT_EQ(captures_, 1);
  EXPECT_EQ(Matched(), 1u);
  EXPECT_EQ(Reused(), 2u);
  EXPECT_EQ(Published(), 3u);  // decided and reported all the same
  EXPECT_EQ(lines_.back(), firstLine);
  EXPECT_EQ(takes_, 3);

  // Drawn inside: read again, matched again, and the decision follows the new pixels.
  pattern_(cv::Rect(0, 0, 40, 40)).setTo(cv::Scalar(200, 10, 10));
  pending_ = {{39, 39, 5, 5}};
  Pass(4 * kSecond);
  EXPECT_EQ(captures_, 2);
  EXPECT_EQ(Matched(), 2u);
  EXPECT_EQ(LastIsHit(), 0u);
}

TEST_F(ScreenChangesPassTest, UnknownChangesReadEverythingAndTheBytesDecide) {
  AddPatternTemplate("icon", 0);
  Pass(1 * kSecond);
  known_ = false;
  Pass(2 * kSecond);
  EXPECT_EQ(captures_, 2);
  EXPECT_EQ(Matched(), 1u);  // the same bytes: the match is reused
  pattern_.at<cv::Vec3b>(12, 12) = cv::Vec3b(0, 0, 0);
  Pass(3 * kSecond);
  EXPECT_EQ(captures_, 3);
  EXPECT_EQ(Matched(), 2u);
  // Known again, nothing drawn since the last read: not read.
  known_ = true;
  Pass(4 * kSecond);
  EXPECT_EQ(captures_, 3);
}

TEST_F(ScreenChangesPassTest, ChangesBeforeARectangleIsDueAreKeptUntilItIs) {
  AddPatternTemplate("slow", 1000);
  Pass(1 * kSecond);
  pattern_(cv::Rect(8, 8, 16, 16)).setTo(cv::Scalar::all(0));
  pending_ = {{20, 20, 1, 1}};
  Pass(1 * kSecond + kSecond / 2);  // not due: the change must not be lost meanwhile
  EXPECT_EQ(takes_, 2);  // taken all the same, so that the source never piles changes up
  Pass(2 * kSecond);
  EXPECT_EQ(captures_, 2);
  EXPECT_EQ(LastIsHit(), 0u);
  // And the same when the change was taken in a pass where another template was due.
  AddPatternTemplate("fast", 0)->windowOrigin = {100, 0};
  Pass(2 * kSecond + kSecond / 20);
  pattern_(cv::Rect(8, 8, 16, 16)).setTo(cv::Scalar::all(255));
  pending_ = {{20, 20, 1, 1}};
  Pass(2 * kSecond +
       kSecond / 10);  // "fast" is due and read; "slow" is not, its rectangle stays changed
  const int before = captures_;
  Pass(3 * kSecond);
  EXPECT_EQ(captures_, before + 1);  // "slow" read again ("fast", at a still place, is not)
}

TEST_F(ScreenChangesPassTest, DrawingDuringAReadIsSeenByTheNextPass) {
  AddPatternTemplate("icon", 0);
  // The pixels are read, then the screen changes before the pass is over: the damage arrives at
  // the next look, and the rectangle is read again.
  context_.capture =
      FromImageSource([this](std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
        ++captures_;
        cv::Mat read = pattern_.clone();
        if (captures_ == 1) {
          pattern_.setTo(cv::Scalar(10, 200, 10));
          pending_ = {{0, 0, 40, 40}};
        }
        return read;
      });
  Pass(1 * kSecond);
  EXPECT_EQ(LastIsHit(), 1u);
  Pass(2 * kSecond);
  EXPECT_EQ(captures_, 2);
  EXPECT_EQ(LastIsHit(), 0u);
}

TEST_F(ScreenChangesPassTest, AReplacedTemplateIsMatchedAfreshAndRemovedOnesAreForgotten) {
  AddPatternTemplate("a", 0);
  auto b = AddPatternTemplate("b", 0);
  b->rawRoi = b->roi = IntRect{0, 0, 30, 30};
  Pass(1 * kSecond);
  EXPECT_EQ(captures_, 1);  // one window, one compact box: one grab for both rectangles
  EXPECT_EQ(state_.rectangles.size(), 2u);
  EXPECT_EQ(state_.records.size(), 2u);
  EXPECT_EQ(Matched(), 2u);

  // Same name, same rectangle, still screen: a new record, so a new match of its own image.
  auto replaced = AddPatternTemplate("a", 0);
  replaced->image = pattern_(cv::Rect(20, 20, 16, 16)).clone();
  cv::cvtColor(replaced->image, replaced->gray, cv::COLOR_BGR2GRAY);
  Pass(2 * kSecond);
  EXPECT_EQ(Matched(), 3u);
  EXPECT_EQ(captures_, 1);
  const auto slotA = test::ReadHitSlot(Ring(), Published() - 2);
  const auto slotB = test::ReadHitSlot(Ring(), Published() - 1);
  EXPECT_EQ(slotA.name == u"a" ? slotA.posX : slotB.posX, 20);

  registry_.Erase("b");
  Pass(3 * kSecond);
  EXPECT_EQ(state_.rectangles.size(), 1u);
  EXPECT_EQ(state_.records.size(), 1u);
  registry_.Clear();
  Pass(4 * kSecond);
  EXPECT_TRUE(state_.rectangles.empty());
  EXPECT_TRUE(state_.records.empty());
  EXPECT_EQ(takes_, 3);
  EXPECT_EQ(pauses_, 1);  // nothing watched: the source may stop tracking
}

TEST_F(ScreenChangesPassTest, AGrabBufferLeftMostlyUnusedIsGivenBack) {
  // The source fills the loop's buffer in place, as the X11 copying capture does.
  context_.capture = [this](std::int32_t, std::int32_t, std::int32_t w, std::int32_t h,
                            cv::Mat& image) {
    ++captures_;
    cv::Mat big(h, w, CV_8UC4, cv::Scalar::all(9));
    if (image.rows == h && image.cols == w && image.type() == CV_8UC4) {
      big.copyTo(image);
    } else {
      image = big;
    }
    return true;
  };
  auto large = AddPatternTemplate("large", 0);
  large->rawRoi = large->roi = IntRect{0, 0, 1000, 1000};
  Pass(1 * kSecond);
  ASSERT_FALSE(state_.threads.empty());
  EXPECT_GE(state_.threads[0]->grab.total(), 4'000'000u);
  registry_.Erase("large");
  AddPatternTemplate("small", 0);
  known_ = false;  // read in every pass: a small grab that leaves the big buffer mostly unused
  for (int pass = 0; pass < 25; ++pass) Pass((2 + pass) * kSecond);
  EXPECT_LT(state_.threads[0]->grab.total(), 100'000u);
}

}  // namespace
}  // namespace tavrik
