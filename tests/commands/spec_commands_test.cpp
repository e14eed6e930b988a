#include "commands/spec_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/line_escape.h"
#include "base/utf.h"
#include "commands/template_path.h"
#include "commands/template_scale.h"
#include "detect/color_metrics.h"
#include "detect/evaluation_pool.h"
#include "detect/match_budget.h"
#include "detect/pixel_budget.h"
#include "tests/commands/spec_commands_fixture.h"
#include "tests/commands/template_files.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;
using test::SpecCommandsTest;

// --- add: names and lines --------------------------------------------------------------------

TEST_F(SpecCommandsTest, EmptyOrNulFirstNameIsIgnoredWithOneLine) {
  for (const std::u16string& name : {std::u16string(), std::u16string(u"\0abc", 4)}) {
    lines_.clear();
    AddSpecHandler(context_, Command(name));
    EXPECT_EQ(lines_, std::vector<std::string>{"[Spec] Ignored add request with empty name."});
  }
  EXPECT_TRUE(registry_.SnapshotTemplates().empty());
  EXPECT_TRUE(window_.calls.empty());
}

TEST_F(SpecCommandsTest, AcceptedAddComposesLinesAndStoresAPreparedRecord) {
  AddSpecHandler(context_, Command(u"chest"));
  EXPECT_EQ(lines_, (std::vector<std::string>{
                        "[Spec] Add requested name=chest path=ok.png roi=(10,20,64x48) "
                        "threshold=0.9 cooldownMs=0 baselineMargin=0",
                        "[Spec] Registered 'chest' ROI=10,20 64x48 threshold=0.9"}));
  ASSERT_EQ(registry_.SnapshotTemplates().size(), 1u);
  const TemplatePtr t = Only("chest");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->path, dir_.Path() / "ok.png");
  ASSERT_EQ(t->image.type(), CV_8UC3);
  EXPECT_EQ(t->image.size(), cv::Size(16, 12));
  ASSERT_EQ(t->gray.type(), CV_8UC1);
  EXPECT_EQ(t->gray.size(), t->image.size());
  EXPECT_TRUE(t->edgeMask.empty());
  EXPECT_DOUBLE_EQ(t->threshold, static_cast<double>(0.9f));
  EXPECT_EQ(t->baselineMargin, 0.0);
  EXPECT_FALSE(t->knownKind);
  EXPECT_FALSE(t->isT3);
  EXPECT_EQ(t->rawRoi, (IntRect{10, 20, 64, 48}));
  EXPECT_EQ(t->roi, t->rawRoi);
  EXPECT_EQ(t->windowOrigin, (IntPoint{0, 0}));
  EXPECT_EQ(t->dpi, 96);
  EXPECT_EQ(t->scale, 1.0);
  EXPECT_EQ(t->cooldownMs, 0);
  EXPECT_EQ(t->lastDecisionTime, kNeverDecided);
  EXPECT_EQ(t->processName, u"game");
  EXPECT_EQ(window_.calls, std::vector<std::u16string>{u"game"});
  // The reference colour is the template's own.
  EXPECT_DOUBLE_EQ(t->hueSat.hue, MeanHueSat(t->image).hue);
  EXPECT_DOUBLE_EQ(t->lab.l, MeanLab(t->image).l);
}

TEST_F(SpecCommandsTest, FloatsArePrintedInTheDefaultFormatAsFloat32) {
  SpecCommand c = Command(u"f");
  c.threshold = 0.85f;
  c.baselineMargin = 0.05f;
  c.cooldownMs = -100;
  AddSpecHandler(context_, c);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[0],
            "[Spec] Add requested name=f path=ok.png roi=(10,20,64x48) threshold=0.85 "
            "cooldownMs=-100 baselineMargin=0.05");
  EXPECT_EQ(lines_[1], "[Spec] Registered 'f' ROI=10,20 64x48 threshold=0.85");
  const TemplatePtr t = Only("f");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->threshold, static_cast<double>(0.85f));  // widened, not re-rounded
  EXPECT_EQ(t->baselineMargin, 0.0);                    // shown, never stored
  EXPECT_EQ(t->cooldownMs, 0);

  c = Command(u"g");
  c.cooldownMs = 250;
  c.threshold = 1234567.0f;
  AddSpecHandler(context_, c);
  EXPECT_EQ(lines_.back(), "[Spec] Registered 'g' ROI=10,20 64x48 threshold=1.23457e+06");
  EXPECT_EQ(Only("g")->cooldownMs, 250);
}

TEST_F(SpecCommandsTest, WindowFoundCachesOriginAndDpiWithLineFour) {
  window_.found = true;
  window_.origin = WindowOrigin{100, -20};
  window_.dpi = 144;
  AddSpecHandler(context_, Command(u"chest"));
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[1], "[Spec] Window origin cached for 'game' at (100,-20)");
  const TemplatePtr t = Only("chest");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->windowOrigin, (IntPoint{100, -20}));
  EXPECT_EQ(t->dpi, 144);
  EXPECT_EQ(t->rawRoi, (IntRect{10, 20, 64, 48}));  // stays relative to the origin
}

TEST_F(SpecCommandsTest, LookupWithoutADisplaySaysSoAndRegistersAllTheSame) {
  window_.failure = WindowLookup::kNoDisplay;
  AddSpecHandler(context_, Command(u"chest"));
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[1], "[Spec] Window lookup for 'game' found no display");
  ASSERT_NE(Only("chest"), nullptr);
  EXPECT_EQ(Only("chest")->windowOrigin, (IntPoint{0, 0}));
}

TEST_F(SpecCommandsTest, ProcessNotRunningRegistersWithoutOrigin) {
  SpecCommand c = Command(u"chest");
  c.processName.clear();
  AddSpecHandler(context_, c);
  EXPECT_EQ(lines_.size(), 2u);
  const TemplatePtr t = Only("chest");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->windowOrigin, (IntPoint{0, 0}));
  EXPECT_EQ(t->dpi, 96);
}

// --- add: templates cut at a declared display scale -------------------------------------------

TEST(DeclaredScale, OnlyAnAtFactorXSuffixWithinRangeDeclaresAScale) {
  for (const auto& [name, factor] :
       std::vector<std::pair<const char*, double>>{{"b@2x.png", 2.0},
                                                   {"b@1.5x.png", 1.5},
                                                   {"b@1.25x.bmp", 1.25},
                                                   {"b@0.5x.png", 0.5},
                                                   {"b@4.00x.png", 4.0},
                                                   {"a@b@1.75x.png", 1.75}}) {
    EXPECT_EQ(DeclaredScale(fs::path("/t") / name), factor) << name;
  }
  for (const char* name : {"b.png", "b@2X.png", "b@x.png", "b@.5x.png", "b@1.x.png", "b@1.255x.png",
                           "b@0.49x.png", "b@4.01x.png", "b@12x.png", "b@-1x.png", "@2x.png",
                           "b@2x-old.png", "b@2x.png.bak", "set@2x/b.png"}) {
    EXPECT_EQ(DeclaredScale(fs::path("/t") / name), std::nullopt) << name;
  }
}

TEST_F(SpecCommandsTest, ADeclaredScaleResizesToTheWindowsDpiOrRefusesClearly) {
  struct Case {
    const char* file;
    std::int32_t dpi;  // 0: unknown
    cv::Size size;     // empty: refused, nothing registered
    const char* line;  // the scaling line; empty for a template used as cut without one
  };
  const std::string unknown =
      "[Spec] Template 'c' declares 1x, but the window's DPI is unknown: used as cut";
  const std::vector<Case> cases = {
      {"ok@1x.png", 144, {24, 18}, "[Spec] Scaled template 'c' from 1x to 1.5x (window 144 dpi)"},
      {"ok@2x.png", 96, {8, 6}, "[Spec] Scaled template 'c' from 2x to 1x (window 96 dpi)"},
      {"ok@1.5x.png", 145, {16, 12}, ""},
      {"ok@1x.png", 0, {16, 12}, unknown.c_str()},
      {"ok@1x.png",
       400,
       {},
       "[Spec] Refused template 'c': scaled from 1x to 4.16667x (window 400 dpi) it would be "
       "67x50, larger than the region 64x48"},
      {"ok@0.5x.png",
       100000,
       {},
       "[Spec] Refused template 'c': scaled from 0.5x to 1041.67x (window 100000 dpi) it would "
       "be 33333x25000, more than 4194304 pixels"}};
  const cv::Mat cut = cv::imread((dir_.Path() / "ok.png").string());
  window_.found = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.dpi));
    dir_.WriteImage(c.file, cut);
    lines_.clear();
    window_.dpi = c.dpi;
    AddSpecHandler(context_, Command(u"c", Utf8ToUtf16(c.file)));
    const TemplatePtr t = Only("c");
    // Between the window's line and the registration, or last when refused.
    EXPECT_EQ(c.size.empty() ? lines_.back() : lines_.size() == 4 ? lines_[2] : "", c.line);
    ASSERT_EQ(t == nullptr, c.size.empty());
    if (t == nullptr) continue;
    EXPECT_EQ(t->gray.size(), c.size);  // prepared from the resized picture
    EXPECT_DOUBLE_EQ(t->lab.l, MeanLab(t->image).l);
    registry_.Clear([] {});
  }
}

// --- add: kinds, thresholds, ROI -------------------------------------------------------------

TEST_F(SpecCommandsTest, KindT2FixesThresholdAndBuildsTheMask) {
  SpecCommand c = Command(u"T2:icon");
  c.threshold = 0.5f;
  AddSpecHandler(context_, c);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_NE(lines_[0].find(" threshold=0.5 "), std::string::npos) << lines_[0];
  EXPECT_EQ(lines_[1], "[Spec] Registered 'T2:icon' ROI=10,20 64x48 threshold=0.97");
  const TemplatePtr t = Only("T2:icon");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->threshold, 0.97);
  EXPECT_TRUE(t->knownKind);
  EXPECT_FALSE(t->isT3);
  ASSERT_EQ(t->edgeMask.type(), CV_8UC1);
  EXPECT_EQ(t->edgeMask.size(), t->image.size());

  c = Command(u"t2");
  c.threshold = 0.0f;
  AddSpecHandler(context_, c);
  EXPECT_EQ(Only("t2")->threshold, 0.97);
}

TEST_F(SpecCommandsTest, KindT3IsClampedOtherKindsAreNot) {
  SpecCommand c = Command(u"T3:x");
  c.threshold = 1.5f;
  AddSpecHandler(context_, c);
  EXPECT_EQ(lines_.back(), "[Spec] Registered 'T3:x' ROI=10,20 64x48 threshold=1");
  EXPECT_TRUE(Only("T3:x")->isT3);
  EXPECT_TRUE(Only("T3:x")->knownKind);

  c = Command(u"t1:y");
  c.threshold = 1.5f;
  AddSpecHandler(context_, c);
  EXPECT_EQ(Only("t1:y")->threshold, 1.5);
  EXPECT_TRUE(Only("t1:y")->knownKind);

  c = Command(u"t20");
  c.threshold = 1.5f;
  AddSpecHandler(context_, c);
  EXPECT_EQ(Only("t20")->threshold, 1.5);
  EXPECT_FALSE(Only("t20")->knownKind);
  EXPECT_TRUE(Only("t20")->edgeMask.empty());
}

TEST_F(SpecCommandsTest, ZeroNegativeOrNanThresholdTakesTheDefault) {
  int i = 0;
  for (const float threshold : {0.0f, -0.5f, std::numeric_limits<float>::quiet_NaN()}) {
    lines_.clear();
    SpecCommand c = Command(u"n" + std::u16string(1, static_cast<char16_t>(u'0' + i++)));
    c.threshold = threshold;
    AddSpecHandler(context_, c);
    ASSERT_EQ(lines_.size(), 2u);
    EXPECT_NE(lines_[0].find(" threshold=0.9 "), std::string::npos) << lines_[0];
    EXPECT_NE(lines_[1].find(" threshold=0.9"), std::string::npos) << lines_[1];
  }
  for (const auto& t : registry_.SnapshotTemplates()) EXPECT_EQ(t->threshold, 0.9);
}

TEST_F(SpecCommandsTest, RoiSizesAreRaisedToOneButShownRaw) {
  SpecCommand c = Command(u"r");
  c.roiX = -3;
  c.roiY = -4;
  c.roiWidth = 0;
  c.roiHeight = -5;
  AddSpecHandler(context_, c);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_NE(lines_[0].find(" roi=(-3,-4,0x-5) "), std::string::npos) << lines_[0];
  EXPECT_EQ(lines_[1], "[Spec] Registered 'r' ROI=-3,-4 1x1 threshold=0.9");
  EXPECT_EQ(Only("r")->rawRoi, (IntRect{-3, -4, 1, 1}));
  EXPECT_EQ(Only("r")->roi, (IntRect{-3, -4, 1, 1}));
}

TEST_F(SpecCommandsTest, GreyAndAlphaFilesAreRegisteredAsBgr) {
  dir_.WriteImage("grey.png", cv::Mat(6, 7, CV_8UC1, cv::Scalar(90)));
  dir_.WriteImage("alpha.png", cv::Mat(6, 7, CV_8UC4, cv::Scalar(255, 0, 0, 0)));
  AddSpecHandler(context_, Command(u"grey", u"grey.png"));
  AddSpecHandler(context_, Command(u"alpha", u"alpha.png"));
  ASSERT_NE(Only("grey"), nullptr);
  ASSERT_NE(Only("alpha"), nullptr);
  EXPECT_EQ(Only("grey")->image.type(), CV_8UC3);
  EXPECT_EQ(Only("grey")->hueSat.sat, 0.0);
  EXPECT_EQ(Only("alpha")->image.type(), CV_8UC3);
  EXPECT_DOUBLE_EQ(Only("alpha")->hueSat.hue, 120.0 / 180.0);  // transparent blue is still blue
}

// --- add: failures and replacement -----------------------------------------------------------

TEST_F(SpecCommandsTest, RegionLargerThanTheScreenIsRefusedAndKeepsTheRegisteredTemplate) {
  int queries = 0;
  std::optional<IntRect> screen = IntRect{-1920, 0, 3200, 1080};  // two monitors
  context_.screenBounds = [&] {
    ++queries;
    return screen;
  };
  AddSpecHandler(context_, Command(u"chest"));
  const TemplatePtr before = Only("chest");
  ASSERT_NE(before, nullptr);
  for (const auto& [width, height] : {std::pair{3201, 48}, std::pair{64, 1081}}) {
    lines_.clear();
    SpecCommand c = Command(u"chest");
    c.roiWidth = width;
    c.roiHeight = height;
    AddSpecHandler(context_, c);
    ASSERT_EQ(lines_.size(), 2u);
    EXPECT_EQ(lines_[1], "[Spec] Refused template 'chest': region " + std::to_string(width) + "x" +
                             std::to_string(height) + " is larger than the screen 3200x1080");
    EXPECT_EQ(Only("chest"), before);  // the previous registration keeps running
  }
  EXPECT_TRUE(window_.calls.size() == 1u) << "a refused add looks no window up";

  // As large as the screen, anywhere (the size is what counts, not the position): accepted.
  SpecCommand full = Command(u"full");
  full.roiX = 5000;
  full.roiWidth = 3200;
  full.roiHeight = 1080;
  AddSpecHandler(context_, full);
  ASSERT_NE(Only("full"), nullptr);
  EXPECT_FALSE(Only("full")->regionUnchecked);

  // No display to ask: nothing to compare with, the add goes on, and the detection is told to
  // check the region once it knows the screen.
  screen.reset();
  SpecCommand big = Command(u"big");
  big.roiWidth = 100000;
  AddSpecHandler(context_, big);
  ASSERT_NE(Only("big"), nullptr);
  EXPECT_TRUE(Only("big")->regionUnchecked);
  EXPECT_EQ(queries, 5);
}

// Steps in order on one registry. Half the budget is kHalf rows of kWide pixels; a refusal
// leaves the registry as it was, including an earlier registration of the same name.
TEST_F(SpecCommandsTest, NewCaptureRectanglesAreHeldAgainstThePixelBudget) {
  constexpr std::int32_t kWide = 8192;
  constexpr auto kHalf = static_cast<std::int32_t>(kPixelBudgetBytes / 4 / kWide / 2);
  constexpr std::int64_t kBudgetMiB = kPixelBudgetBytes >> 20;
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  // (2^31 - 1)^2 pixels of 4 bytes: 2^44 - 2^14 MiB and a little more, rounded up.
  constexpr std::int64_t kHugeMiB = (std::int64_t{1} << 44) - (1 << 14) + 1;
  struct Step {
    const char* name;
    IntRect roi;
    IntPoint origin;
    std::int64_t refusedNeedMiB;  // 0: registered
  };
  const std::vector<Step> steps = {
      {"a", {0, 0, kWide, kHalf}, {}, 0},
      {"b", {0, 4000, kWide, kHalf}, {}, 0},                // the budget exactly
      {"c", {9000, 0, 1, 1}, {}, 1},                        // one pixel past it
      {"d", {0, 0, kWide, kHalf}, {}, 0},                   // a's rectangle: free
      {"b", {100, 4000, kWide, kHalf}, {}, 0},              // b's own rectangle is given back
      {"a", {9000, 0, 1, 1}, {}, 1},                        // d still watches a's rectangle
      {"e", {0, 0, kWide, kHalf}, {1, 0}, kBudgetMiB / 2},  // a rectangle of another window
      {"huge", {0, 0, kMax, kMax}, {}, kHugeMiB},           // no overflow
      {"far", {kMax - 10, 0, 64, 64}, {}, 0},               // never captured, never remembered
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    lines_.clear();
    window_.found = true;
    window_.origin = WindowOrigin{step.origin.x, step.origin.y};
    SpecCommand c = Command(Utf8ToUtf16(step.name));
    c.roiX = step.roi.x;
    c.roiY = step.roi.y;
    c.roiWidth = step.roi.width;
    c.roiHeight = step.roi.height;
    const TemplateInfo* before = Only(step.name).get();
    AddSpecHandler(context_, c);
    const TemplateInfo* after = Only(step.name).get();
    if (step.refusedNeedMiB == 0) {
      EXPECT_TRUE(after != nullptr && after != before) << lines_.back();
      continue;
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(lines_.back(), "[Spec] Refused template '" + std::string(step.name) +
                                 "': its region " + std::to_string(step.roi.width) + "x" +
                                 std::to_string(step.roi.height) + " needs " +
                                 std::to_string(step.refusedNeedMiB) + " MiB of captured pixels; " +
                                 std::to_string(kBudgetMiB) + " MiB of the " +
                                 std::to_string(kBudgetMiB) + " MiB pixel budget are in use");
  }
}

// A template whose own matching need is past the budget is refused at add with its figures, and
// an earlier registration of the name keeps running; one within it is registered.
TEST_F(SpecCommandsTest, TemplatesPastTheMatchingBudgetAreRefusedAndKeepTheOldRegistration) {
  const int threads = PoolThreadsFor(std::thread::hardware_concurrency());
  struct Row {
    const char* file;
    cv::Size image;
    IntRect roi;
    bool refused;
  };
  // A t2 template nearly as large as its region is one transform of the region's size, four
  // spectra of it kept and more per thread: past 256 MiB whatever the number of threads. A region
  // of the largest int32 size, unchecked without a screen and never capturable, needs more than
  // any count of bytes holds.
  constexpr int kMax = std::numeric_limits<std::int32_t>::max();
  const Row rows[] = {{"small.png", {64, 64}, {0, 0, 1920, 1080}, false},
                      {"large.png", {1800, 1400}, {0, 0, 2000, 1500}, true},
                      {"small.png", {64, 64}, {kMax, kMax, kMax, kMax}, true}};
  AddSpecHandler(context_, Command(u"t2:big"));
  const TemplatePtr first = Only("t2:big");
  ASSERT_NE(first, nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    cv::Mat image(row.image, CV_8UC3);
    cv::randu(image, 0, 256);
    dir_.WriteImage(row.file, image);
    SpecCommand c = Command(u"t2:big", Utf8ToUtf16(row.file));
    c.roiX = row.roi.x;
    c.roiY = row.roi.y;
    c.roiWidth = row.roi.width;
    c.roiHeight = row.roi.height;
    const TemplatePtr before = Only("t2:big");
    lines_.clear();
    AddSpecHandler(context_, c);
    if (!row.refused) {
      EXPECT_NE(Only("t2:big"), before);
      EXPECT_LE(MatchNeedBytes(*Only("t2:big"), threads), kMatchNeedBudgetBytes);
      continue;
    }
    EXPECT_EQ(Only("t2:big"), before);
    ASSERT_FALSE(lines_.empty());
    const std::string refusal = "[Spec] Refused template 't2:big': matching its " +
                                std::to_string(row.image.width) + "x" +
                                std::to_string(row.image.height) + " image on a region of " +
                                std::to_string(row.roi.width) + "x" +
                                std::to_string(row.roi.height) + " needs ";
    EXPECT_EQ(lines_.back().rfind(refusal, 0), 0u) << lines_.back();
    EXPECT_NE(lines_.back().find("more than the matching budget of 256 MiB"), std::string::npos);
  }
}

TEST_F(SpecCommandsTest, MissingFileKeepsTheRegisteredTemplate) {
  AddSpecHandler(context_, Command(u"chest"));
  const TemplatePtr before = Only("chest");
  lines_.clear();
  AddSpecHandler(context_, Command(u"chest", u"bilder\\\u00f6.png"));
  const fs::path expected = dir_.Path() / "bilder" / fs::path(u"\u00f6.png");
  EXPECT_EQ(lines_, (std::vector<std::string>{
                        "[Spec] Add requested name=chest path=bilder\\\xC3\xB6.png "
                        "roi=(10,20,64x48) threshold=0.9 cooldownMs=0 baselineMargin=0",
                        // A narrow form in a legacy code page is not UTF-8: such bytes
                        // show escaped.
                        "[Spec] Failed to load template 'chest' from " +
                            LineSafe(QuotePath(NarrowPathForDecoder(expected).narrow))}));
  EXPECT_EQ(Only("chest"), before);
  EXPECT_EQ(registry_.SnapshotTemplates().size(), 1u);
}

TEST_F(SpecCommandsTest, FailureLineEscapesQuotesAndBackslashes) {
  EXPECT_EQ(QuotePath("D:\\T\\a.png"), "\"D:\\\\T\\\\a.png\"");
  EXPECT_EQ(QuotePath("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(QuotePath(""), "\"\"");
}

TEST_F(SpecCommandsTest, EmptyPathIsAFailedLoad) {
  AddSpecHandler(context_, Command(u"e", u""));
  EXPECT_EQ(lines_.back(), "[Spec] Failed to load template 'e' from \"\"");
  EXPECT_TRUE(registry_.SnapshotTemplates().empty());
  EXPECT_TRUE(window_.calls.empty());
}

TEST_F(SpecCommandsTest, OverwritingPublishesANewRecordWithNoCooldownPending) {
  window_.found = true;
  window_.origin = WindowOrigin{5, 6};
  SpecCommand first = Command(u"chest");
  first.cooldownMs = 5000;
  AddSpecHandler(context_, first);
  const TemplatePtr old = Only("chest");
  ASSERT_NE(old, nullptr);
  old->lastDecisionTime = 123456789;  // as the DetectionLoop would after a decision

  lines_.clear();
  SpecCommand second = Command(u"chest");
  second.roiX = 1;
  AddSpecHandler(context_, second);
  EXPECT_EQ(lines_, (std::vector<std::string>{
                        "[Spec] Add requested name=chest path=ok.png roi=(1,20,64x48) "
                        "threshold=0.9 cooldownMs=0 baselineMargin=0",
                        "[Spec] Window origin cached for 'game' at (5,6)",
                        "[Spec] Overwriting existing template 'chest'",
                        "[Spec] Registered 'chest' ROI=1,20 64x48 threshold=0.9"}));
  ASSERT_EQ(registry_.SnapshotTemplates().size(), 1u);
  const TemplatePtr now = Only("chest");
  EXPECT_NE(now, old);
  EXPECT_EQ(now->lastDecisionTime, kNeverDecided);
  EXPECT_EQ(now->rawRoi.x, 1);
  EXPECT_EQ(old->rawRoi.x, 10);  // the old record was replaced, not edited
  EXPECT_EQ(old->lastDecisionTime, 123456789);
}

TEST_F(SpecCommandsTest, WindowLookupRunsWithoutTheRegistryLock) {
  AddSpecHandler(context_, Command(u"other"));
  std::future_status snapshotStatus = std::future_status::deferred;
  context_.locateWindow = [&](std::u16string_view, WindowOrigin&, std::int32_t*) {
    // The DetectionLoop must be able to take its snapshot while a lookup is pending.
    auto snapshot = std::async(std::launch::async, [&] { return registry_.SnapshotTemplates(); });
    snapshotStatus = snapshot.wait_for(std::chrono::seconds(10));
    return WindowLookup::kNotFound;
  };
  AddSpecHandler(context_, Command(u"other"));
  EXPECT_EQ(snapshotStatus, std::future_status::ready);
}

// --- remove and clear ------------------------------------------------------------------------

TEST_F(SpecCommandsTest, RemoveTakesOnlyTheExactName) {
  AddSpecHandler(context_, Command(u"Icon"));
  lines_.clear();

  RemoveSpecHandler(context_, u"");
  RemoveSpecHandler(context_, std::u16string(u"\0Icon", 5));
  RemoveSpecHandler(context_, u"icon");
  EXPECT_TRUE(lines_.empty());
  EXPECT_NE(Only("Icon"), nullptr);

  const TemplateSnapshot held = registry_.SnapshotTemplates();
  RemoveSpecHandler(context_, u"Icon");
  EXPECT_EQ(lines_, std::vector<std::string>{"[Spec] Removed 'Icon'"});
  EXPECT_TRUE(registry_.SnapshotTemplates().empty());
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]->name, "Icon");  // a running pass keeps its record alive

  RemoveSpecHandler(context_, u"Icon");
  EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(SpecCommandsTest, ClearAlwaysEmitsItsLine) {
  ClearSpecsHandler(context_);
  EXPECT_EQ(lines_, std::vector<std::string>{"[Spec] Cleared all templates"});

  AddSpecHandler(context_, Command(u"a"));
  AddSpecHandler(context_, Command(u"b"));
  lines_.clear();
  ClearSpecsHandler(context_);
  EXPECT_EQ(lines_, std::vector<std::string>{"[Spec] Cleared all templates"});
  EXPECT_TRUE(registry_.SnapshotTemplates().empty());
}

}  // namespace
}  // namespace tavrik
