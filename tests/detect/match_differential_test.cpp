// The differential test of the matcher (detect/matcher.h) against cv::matchTemplate.
//
// Several hundred regions and templates (random noise, blurred noise, independent templates,
// odd and prime sizes down to 1x1, templates equal to their region, flat, black and white
// regions and templates, tiled patterns whose maxima tie, regions of several blocks, and real
// captures of X clients stored under data/) are scored for every method the worker uses (grey
// TM_CCOEFF_NORMED, grey TM_SQDIFF_NORMED for t3, colour TM_CCORR_NORMED under the real edge mask
// and under a full mask for t2), each from 3-channel BGR and from 4-channel BGRA pixels.
//
// With the OpenCV transform every map must be bit for bit cv::matchTemplate's (NaN where it has
// NaN), and the whole decision line must be the one the worker composed before the matcher
// existed (ReferenceLine below is that code path). With FFTW (when built) every finite value must
// lie within 1e-4 of OpenCV's and every decision (hit or miss, and the reason) must be the same;
// how many lines stay identical is counted and printed, not required.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "detect/color_metrics.h"
#include "detect/decision.h"
#include "detect/edge_mask.h"
#include "detect/evaluate.h"
#include "detect/match_score.h"
#include "detect/matcher.h"
#include "detect/report.h"
#include "detect/template_prepare.h"
#include "detect/transform.h"
#if TAVRIK_TEST_FFTW
#include "detect/transform_fftw.h"
#endif

namespace tavrik {
namespace {

struct Case {
  std::string family;
  cv::Mat region;  // BGR
  cv::Mat templ;   // BGR
};

cv::Mat Noise(int rows, int cols, cv::RNG& rng) {
  cv::Mat m(rows, cols, CV_8UC3);
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

cv::Mat Blurred(int rows, int cols, cv::RNG& rng) {
  cv::Mat m = Noise(rows, cols, rng);
  cv::GaussianBlur(m, m, cv::Size(7, 7), 2.0);
  return m;
}

cv::Mat CutFrom(const cv::Mat& image, int rows, int cols, cv::RNG& rng) {
  const int x = rng.uniform(0, image.cols - cols + 1);
  const int y = rng.uniform(0, image.rows - rows + 1);
  return image(cv::Rect(x, y, cols, rows)).clone();
}

std::filesystem::path DataDir() { return std::filesystem::path(TAVRIK_TEST_DATA_DIR); }

std::vector<Case> BuildCorpus() {
  std::vector<Case> cases;
  cv::RNG rng(20240611);
  const auto add = [&](const char* family, cv::Mat region, cv::Mat templ) {
    cases.push_back({family, std::move(region), std::move(templ)});
  };

  // Random noise, template cut from the region (a perfect match exists).
  const int noiseSizes[][4] = {{64, 64, 16, 16},   {120, 90, 24, 20}, {200, 150, 32, 32},
                               {256, 256, 64, 64}, {97, 61, 13, 7},   {150, 150, 48, 30}};
  for (int i = 0; i < 60; ++i) {
    const auto& s = noiseSizes[i % 6];
    cv::Mat region = Noise(s[1], s[0], rng);
    add("noise", region, CutFrom(region, s[3], s[2], rng));
  }
  // Blurred noise: structure like a screen, neighbouring windows correlate.
  for (int i = 0; i < 50; ++i) {
    const auto& s = noiseSizes[i % 6];
    cv::Mat region = Blurred(s[1], s[0], rng);
    add("blur", region, CutFrom(region, s[3], s[2], rng));
  }
  // Templates that are not in the region.
  for (int i = 0; i < 25; ++i) {
    const auto& s = noiseSizes[i % 6];
    add("independent", Blurred(s[1], s[0], rng), Blurred(s[3], s[2], rng));
  }
  // Odd, prime and degenerate sizes, template equal to the region.
  const int oddSizes[][4] = {
      {1, 1, 1, 1},       {2, 3, 1, 1},     {7, 5, 3, 2},   {13, 1, 5, 1},   {1, 17, 1, 4},
      {31, 29, 31, 29},   {61, 97, 7, 13},  {53, 59, 1, 1}, {37, 41, 37, 1}, {43, 47, 1, 47},
      {101, 103, 29, 31}, {17, 19, 17, 19}, {5, 5, 5, 5},   {3, 200, 2, 11}, {211, 3, 13, 2}};
  for (int i = 0; i < 45; ++i) {
    const auto& s = oddSizes[i % 15];
    cv::Mat region = (i / 15) % 2 == 0 ? Noise(s[1], s[0], rng) : Blurred(s[1], s[0], rng);
    add("odd sizes", region, CutFrom(region, s[3], s[2], rng));
  }
  // Flat, black and white regions and templates.
  const cv::Scalar flats[] = {cv::Scalar::all(0), cv::Scalar::all(255), cv::Scalar(30, 60, 90),
                              cv::Scalar(0, 0, 255), cv::Scalar::all(128)};
  for (int i = 0; i < 5; ++i) {
    const cv::Mat flatRegion(80, 100, CV_8UC3, flats[i]);
    const cv::Mat flatTempl(16, 12, CV_8UC3, flats[(i + 1) % 5]);
    add("flat", flatRegion, flatTempl);                           // flat in flat
    add("flat", flatRegion, cv::Mat(16, 12, CV_8UC3, flats[i]));  // the same flat
    add("flat", flatRegion, Noise(16, 12, rng));                  // texture in flat
    add("flat", Blurred(80, 100, rng), flatTempl);                // flat in texture
    cv::Mat half = Blurred(90, 90, rng);
    half(cv::Rect(0, 0, 45, 90)).setTo(flats[i]);
    add("flat", half, CutFrom(half, 20, 20, rng));              // half flat, half texture
    add("flat", half, half(cv::Rect(30, 10, 30, 30)).clone());  // straddling the edge
  }
  // Ties: a tiled pattern has its best value at several places; the first in row-major order
  // wins, as in cv::minMaxLoc.
  for (int i = 0; i < 20; ++i) {
    const int tile = 4 + i % 5 * 3;
    cv::Mat pattern = (i % 2 == 0) ? Noise(tile, tile, rng) : Blurred(tile, tile, rng);
    cv::Mat region;
    cv::repeat(pattern, 6, 5, region);
    add("ties", region, pattern.clone());
    add("ties", region, region(cv::Rect(tile / 2, tile / 3, tile, tile)).clone());
  }
  // Several blocks per map (crossCorr's tiling, with partial tiles at the right and bottom).
  const int largeSizes[][4] = {
      {600, 420, 20, 20}, {520, 300, 9, 13}, {700, 260, 24, 8}, {300, 560, 16, 16}};
  for (int i = 0; i < 4; ++i) {
    const auto& s = largeSizes[i];
    cv::Mat region = Blurred(s[1], s[0], rng);
    add("tiles", region, CutFrom(region, s[3], s[2], rng));
  }
  // Real captures of X clients (xlogo, xclock, xeyes, xcalc, xedit, oclock, the demo target and a
  // desktop with all of them), made with the worker's own X11 capture.
  std::vector<cv::Mat> shots;
  for (const char* name : {"x11_desktop.png", "x11_xlogo.png", "x11_xclock.png", "x11_xeyes.png",
                           "x11_xcalc.png", "x11_xedit.png", "x11_oclock.png", "x11_demo.png"}) {
    cv::Mat shot = cv::imread((DataDir() / name).string(), cv::IMREAD_COLOR);
    if (!shot.empty()) shots.push_back(shot);
  }
  for (int i = 0; i < 120 && !shots.empty(); ++i) {
    const cv::Mat& shot = shots[static_cast<std::size_t>(i) % shots.size()];
    const int w = std::min(shot.cols, rng.uniform(24, 200));
    const int h = std::min(shot.rows, rng.uniform(24, 200));
    cv::Mat region = CutFrom(shot, h, w, rng);
    const int tw = std::max(1, std::min(w, rng.uniform(1, 48)));
    const int th = std::max(1, std::min(h, rng.uniform(1, 48)));
    cv::Mat templ = i % 3 == 2 ? CutFrom(shot, th, tw, rng) : CutFrom(region, th, tw, rng);
    add("x11", region, templ);
  }
  return cases;
}

const std::vector<Case>& Corpus() {
  static const std::vector<Case> corpus = BuildCorpus();
  return corpus;
}

// The template kinds the worker scores with, prepared as the add command prepares them.
struct Kind {
  const char* name;
  bool fullMask;  // t2 with a mask of all 255 instead of the edge mask
};
constexpr Kind kKinds[] = {{"general", false}, {"t3:x", false}, {"t2:x", false}, {"t2:x", true}};

TemplateInfo MakeTemplate(const Kind& kind, const Case& c) {
  TemplateInfo info;
  info.name = kind.name;
  info.image = c.templ.clone();
  EXPECT_TRUE(PrepareTemplate(info, 0.8f));
  if (kind.fullMask) info.edgeMask = cv::Mat(info.image.size(), CV_8U, cv::Scalar(255));
  info.rawRoi = {0, 0, c.region.cols, c.region.rows};
  info.roi = info.rawRoi;
  return info;
}

cv::Mat ToBgra(const cv::Mat& bgr, cv::RNG& rng) {
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  std::vector<cv::Mat> planes;
  cv::split(bgra, planes);
  rng.fill(planes[3], cv::RNG::UNIFORM, 0, 256);  // the fourth byte must not matter
  cv::merge(planes, bgra);
  return bgra;
}

// The evaluation as the worker did it before the matcher: cv::matchTemplate on BGR (grey through
// cvtColor), minMaxLoc, mean, the three colour metrics, the decision and the line.
struct Reference {
  cv::Mat map;
  std::string line;
  bool hit = false;
  std::string_view reason;
};
Reference ReferenceEvaluation(const cv::Mat& bgr, const TemplateInfo& info) {
  Reference r;
  ReferenceMatchMap(bgr, info, r.map);
  Evaluation e;
  EXPECT_TRUE(PlanCapture(info, e));
  e.captured = bgr;
  double minValue = 0;
  double maxValue = 0;
  cv::Point minLoc;
  cv::Point maxLoc;
  cv::minMaxLoc(r.map, &minValue, &maxValue, &minLoc, &maxLoc);
  if (MatchMethod(info) == cv::TM_SQDIFF_NORMED) {
    e.match.raw = SqDiffScoreFromMin(minValue);
    e.match.matchLoc = {minLoc.x, minLoc.y};
    e.match.mapMean = 0.0;
  } else {
    const double mean = cv::mean(r.map)[0];
    e.match.raw = CorrelationScoreFromMax(maxValue);
    e.match.matchLoc = {maxLoc.x, maxLoc.y};
    e.match.mapMean = std::isfinite(mean) ? mean : 0.0;
  }
  e.baseline = e.match.mapMean > 0.0 ? e.match.mapMean : 0.0;
  e.raw = e.match.raw;
  const cv::Rect spot =
      cv::Rect(e.match.matchLoc.x, e.match.matchLoc.y, info.image.cols, info.image.rows) &
      cv::Rect(0, 0, bgr.cols, bgr.rows);
  e.matchRect = {spot.x, spot.y, spot.width, spot.height};
  if (spot.area() > 0) {
    e.spotHueSat = MeanHueSat(bgr(spot));
    e.spotValue = MeanValue(bgr(spot));
    e.spotLab = MeanLab(bgr(spot));
  }
  Decide(e, info);
  ComputeReportPositions(e, info);
  r.line = ComposeDecisionLine(e, info);
  r.hit = e.hit;
  r.reason = e.reason;
  return r;
}

struct Ours {
  cv::Mat map;
  std::string line;
  bool hit = false;
  std::string_view reason;
};
Ours OurEvaluation(const cv::Mat& pixels, const TemplateInfo& info, TransformKind kind,
                   MatchWorkspace& ws) {
  Ours o;
  RegionPixels region;
  region.Reset(pixels);
  PreparedMatch prepared;
  cv::Mat map;
  ComputeMatchMap(region, info, prepared, ws, kind, map);
  o.map = map.clone();
  Evaluation e;
  EXPECT_TRUE(PlanCapture(info, e));
  RegionPixels fresh;  // a region of its own, as the worker's pass would have
  fresh.Reset(pixels);
  EvaluateSharedRegion(e, info, fresh, EvaluationEngine{&ws, kind});
  ComputeReportPositions(e, info);
  o.line = ComposeDecisionLine(e, info);
  o.hit = e.hit;
  o.reason = e.reason;
  return o;
}

bool SameBits(const cv::Mat& a, const cv::Mat& b, int* nonFiniteMismatches) {
  if (a.size() != b.size() || a.type() != CV_32F || b.type() != CV_32F) return false;
  bool same = true;
  for (int y = 0; y < a.rows; ++y) {
    const float* pa = a.ptr<float>(y);
    const float* pb = b.ptr<float>(y);
    for (int x = 0; x < a.cols; ++x) {
      if (std::isnan(pa[x]) && std::isnan(pb[x])) continue;
      if (std::memcmp(&pa[x], &pb[x], sizeof(float)) != 0) {
        same = false;
        if (std::isfinite(pa[x]) != std::isfinite(pb[x])) ++*nonFiniteMismatches;
      }
    }
  }
  return same;
}

// The largest difference between finite values, over the positions that `conditioned` marks
// (all when it is empty); positions finite in one map only are counted.
double MaxFiniteDifference(const cv::Mat& a, const cv::Mat& b, int* nonFiniteMismatches,
                           const cv::Mat& conditioned = cv::Mat(), int* beyond = nullptr) {
  double worst = 0;
  for (int y = 0; y < a.rows; ++y) {
    const float* pa = a.ptr<float>(y);
    const float* pb = b.ptr<float>(y);
    for (int x = 0; x < a.cols; ++x) {
      const bool fa = std::isfinite(pa[x]);
      const bool fb = std::isfinite(pb[x]);
      if (fa != fb) {
        ++*nonFiniteMismatches;
        continue;
      }
      if (!fa) continue;
      const double d = std::fabs(static_cast<double>(pa[x]) - pb[x]);
      if (beyond != nullptr && d > 1e-4) ++*beyond;
      if (conditioned.empty() || conditioned.at<std::uint8_t>(y, x) != 0) {
        worst = std::max(worst, d);
      }
    }
  }
  return worst;
}

// Positions where cv::matchTemplate's own value is accurate to better than 1e-4: the grey window
// and the grey template both have a standard deviation of at least kMinStdDev grey levels. With
// less texture the normalised correlation divides the rounding error of OpenCV's float transform
// (several units in sums of up to 2^28) by a small norm, and OpenCV's value itself is off by more
// than 1e-4 (up to ~1e-2 in the corpus); any other transform then differs by as much.
constexpr double kMinStdDev = 16.0;
cv::Mat ConditionedWindows(const cv::Mat& bgr, const cv::Mat& templBgr) {
  const cv::Size templ = templBgr.size();
  cv::Mat templGrey;
  cv::cvtColor(templBgr, templGrey, cv::COLOR_BGR2GRAY);
  cv::Scalar templMean;
  cv::Scalar templStd;
  cv::meanStdDev(templGrey, templMean, templStd);
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::Mat g;
  grey.convertTo(g, CV_64F);
  cv::Mat sum;
  cv::Mat sqsum;
  cv::integral(g, sum, sqsum, CV_64F, CV_64F);
  const double area = static_cast<double>(templ.area());
  cv::Mat out(bgr.rows - templ.height + 1, bgr.cols - templ.width + 1, CV_8U);
  for (int y = 0; y < out.rows; ++y) {
    for (int x = 0; x < out.cols; ++x) {
      const auto box = [&](const cv::Mat& m) {
        return m.at<double>(y, x) - m.at<double>(y, x + templ.width) -
               m.at<double>(y + templ.height, x) + m.at<double>(y + templ.height, x + templ.width);
      };
      const double mean = box(sum) / area;
      const double variance = box(sqsum) / area - mean * mean;
      out.at<std::uint8_t>(y, x) =
          variance >= kMinStdDev * kMinStdDev && templStd[0] >= kMinStdDev ? 1 : 0;
    }
  }
  return out;
}

struct Tally {
  int evaluations = 0;
  int exactMaps = 0;
  int nonFiniteMismatches = 0;
  long long positions = 0;
  long long beyondTolerance = 0;  // finite positions more than 1e-4 apart
  double worst = 0;               // over all finite positions
  double worstConditioned = 0;    // over windows that are not nearly flat
  int sameLines = 0;
  int sameDecisions = 0;
  int referenceNonFinite = 0;        // evaluations whose OpenCV map has NaN or inf
  int decisionsDifferNonFinite = 0;  // ... and whose decision differs
};

void Print(const char* engine, const char* kind, const Tally& t) {
  std::cout << "[differential] engine=" << engine << " kind=" << kind
            << " evaluations=" << t.evaluations << " bitIdenticalMaps=" << t.exactMaps
            << " positions=" << t.positions << " maxFiniteDiff=" << t.worst
            << " maxDiffNotFlat=" << t.worstConditioned << " beyond1e-4=" << t.beyondTolerance
            << " nonFiniteMismatches=" << t.nonFiniteMismatches << " identicalLines=" << t.sameLines
            << " identicalDecisions=" << t.sameDecisions
            << " referenceMapsWithNonFinite=" << t.referenceNonFinite
            << " ofWhichDecisionDiffers=" << t.decisionsDifferNonFinite << "\n";
}

// Runs the whole corpus for one transform and returns the tallies per kind.
std::vector<Tally> RunCorpus(TransformKind engine, bool requireExact) {
  std::vector<Tally> tallies(std::size(kKinds));
  MatchWorkspace ws;
  cv::RNG rng(7);
  for (const Case& c : Corpus()) {
    for (std::size_t k = 0; k < std::size(kKinds); ++k) {
      const TemplateInfo info = MakeTemplate(kKinds[k], c);
      const Reference ref = ReferenceEvaluation(c.region, info);
      const cv::Mat conditioned = requireExact ? cv::Mat() : ConditionedWindows(c.region, c.templ);
      for (const cv::Mat& pixels : {c.region, ToBgra(c.region, rng)}) {
        const Ours ours = OurEvaluation(pixels, info, engine, ws);
        Tally& t = tallies[k];
        ++t.evaluations;
        int nonFinite = 0;
        const bool exact = SameBits(ref.map, ours.map, &nonFinite);
        t.exactMaps += exact ? 1 : 0;
        int nonFinite2 = 0;
        int beyond = 0;
        t.worst = std::max(t.worst,
                           MaxFiniteDifference(ref.map, ours.map, &nonFinite2, cv::Mat(), &beyond));
        t.nonFiniteMismatches += nonFinite2;
        t.beyondTolerance += beyond;
        t.positions += static_cast<long long>(ref.map.total());
        int ignored = 0;
        const double worstConditioned =
            MaxFiniteDifference(ref.map, ours.map, &ignored, conditioned);
        t.worstConditioned = std::max(t.worstConditioned, worstConditioned);
        t.sameLines += ours.line == ref.line ? 1 : 0;
        const bool sameDecision = ours.hit == ref.hit && ours.reason == ref.reason;
        t.sameDecisions += sameDecision ? 1 : 0;
        const bool refNonFinite = !cv::checkRange(ref.map, true, nullptr, -1e30, 1e30);
        t.referenceNonFinite += refNonFinite ? 1 : 0;
        t.decisionsDifferNonFinite += refNonFinite && !sameDecision ? 1 : 0;
        const std::string where =
            std::string(c.family) + " " + kKinds[k].name +
            (kKinds[k].fullMask ? " (full mask)" : "") + " region " +
            std::to_string(c.region.cols) + "x" + std::to_string(c.region.rows) + " template " +
            std::to_string(c.templ.cols) + "x" + std::to_string(c.templ.rows) + " channels " +
            std::to_string(pixels.channels());
        if (requireExact) {
          EXPECT_TRUE(exact) << where;
          EXPECT_EQ(ours.line, ref.line) << where;
        } else {
          // Where OpenCV's map holds NaN or inf (masked windows over black: 0/0 and x/0 whose
          // sign and kind come from its transform's rounding), no other transform can follow it;
          // those are counted, not required.
          if (!refNonFinite) {
            EXPECT_LE(worstConditioned, 1e-4) << where;
            EXPECT_TRUE(sameDecision)
                << where << "\n  ours: " << ours.line << "\n  ref:  " << ref.line;
          }
        }
      }
    }
  }
  return tallies;
}

TEST(MatchDifferential, CorpusIsSeveralHundredImagesIncludingRealCaptures) {
  EXPECT_GE(Corpus().size(), 300u);
  int x11 = 0;
  for (const Case& c : Corpus()) x11 += c.family == "x11" ? 1 : 0;
  EXPECT_GE(x11, 100) << "the X client captures under " << DataDir() << " were not read";
}

TEST(MatchDifferential, OpenCvTransformIsBitIdenticalToMatchTemplate) {
  const std::vector<Tally> tallies = RunCorpus(TransformKind::kOpenCv, true);
  for (std::size_t k = 0; k < tallies.size(); ++k) {
    Print("opencv", kKinds[k].fullMask ? "t2:full-mask" : kKinds[k].name, tallies[k]);
    EXPECT_EQ(tallies[k].exactMaps, tallies[k].evaluations);
    EXPECT_EQ(tallies[k].sameLines, tallies[k].evaluations);
  }
}

#if TAVRIK_TEST_FFTW
TEST(MatchDifferential, FftwTransformIsWithinToleranceWithTheSameDecisions) {
  InstallFftwFactory(MakeFftwTransform);
  // The corpus has some hundred transform sizes, each used a few times: measuring a plan for each
  // would cost more than the test. Estimated plans are the same algorithms; the benchmarks run
  // the worker's measured ones.
  UseFftwMeasurePlans(false);
  const std::vector<Tally> tallies = RunCorpus(TransformKind::kFftw, false);
  for (std::size_t k = 0; k < tallies.size(); ++k) {
    Print("fftw", kKinds[k].fullMask ? "t2:full-mask" : kKinds[k].name, tallies[k]);
    EXPECT_EQ(tallies[k].sameDecisions + tallies[k].decisionsDifferNonFinite,
              tallies[k].evaluations);
  }
}
#endif

TEST(MatchDifferential, UnchangedRegionReusesTheEvaluationAndANewRecordForgetsIt) {
  cv::RNG rng(3);
  const cv::Mat region = Blurred(120, 160, rng);
  TemplateInfo info;
  info.name = "t2:reuse";
  info.image = CutFrom(region, 24, 24, rng);
  ASSERT_TRUE(PrepareTemplate(info, 0.0f));
  info.rawRoi = info.roi = {0, 0, region.cols, region.rows};
  // The loop's memory: the rectangle's pixels once, the record's last match.
  RectangleMemory rectangle;
  RecordMemory remembered;
  ReuseCounters counters;
  const auto evaluate = [&](RecordMemory& memory, const TemplateInfo& record,
                            const cv::Mat& pixels) {
    rectangle.Remember(pixels);
    RegionPixels r;
    r.Reset(pixels);
    Evaluation e;
    EXPECT_TRUE(PlanCapture(record, e));
    EvaluateRememberedRegion(e, record, r, EvaluationEngine{}, rectangle.generation, memory,
                             &counters);
    ComputeReportPositions(e, record);
    return ComposeDecisionLine(e, record) + " | " + std::to_string(e.score);
  };
  const auto matched = [&] { return counters.matched.load(); };
  const auto reused = [&] { return counters.reused.load(); };

  const std::string first = evaluate(remembered, info, region);
  EXPECT_EQ(matched(), 1u);
  // Same pixels in a different buffer: reused (the match is not run again, the line is equal).
  EXPECT_EQ(evaluate(remembered, info, region.clone()), first);
  EXPECT_EQ(matched(), 1u);
  EXPECT_EQ(reused(), 1u);
  // One changed pixel: matched again, and the line is the one of the changed pixels.
  cv::Mat changed = region.clone();
  changed.at<cv::Vec3b>(5, 5) = cv::Vec3b(1, 2, 3);
  const std::string third = evaluate(remembered, info, changed);
  EXPECT_EQ(matched(), 2u);
  EXPECT_EQ(third.substr(0, third.find(" | ")), ReferenceEvaluation(changed, info).line);
  EXPECT_EQ(evaluate(remembered, info, changed), third);
  EXPECT_EQ(matched(), 2u);
  EXPECT_EQ(reused(), 2u);
  // A new record (as a replaced template) has a memory of its own and starts with nothing.
  const TemplateInfo copy = info;
  RecordMemory fresh;
  EXPECT_EQ(evaluate(fresh, copy, changed), third);
  EXPECT_EQ(matched(), 3u);
  // Back to the first pixels: a new generation, matched again.
  EXPECT_EQ(evaluate(remembered, info, region), first);
  EXPECT_EQ(matched(), 4u);
}

TEST(MatchDifferential, TemplatesOfOneRegionShareItsSpectraWithoutChangingAnything) {
  // Several templates of the same size (so the same block layout) and of other sizes read one
  // region in turn, as the templates of one rectangle do in a pass: the region's grey plane,
  // window sums and forward spectra are made once and reused; every line must still be the
  // reference's.
  cv::RNG rng(11);
  const cv::Mat region = Blurred(180, 230, rng);
  for (const char* kind : {"general", "t3:x", "t2:x"}) {
    RegionPixels shared;
    shared.Reset(region);
    for (int i = 0; i < 6; ++i) {
      const int side = i < 4 ? 24 : 17 + i;
      TemplateInfo info;
      info.name = kind;
      info.image = CutFrom(region, side, side, rng);
      ASSERT_TRUE(PrepareTemplate(info, 0.8f));
      info.rawRoi = info.roi = {0, 0, region.cols, region.rows};
      Evaluation e;
      ASSERT_TRUE(PlanCapture(info, e));
      EvaluateSharedRegion(e, info, shared, EvaluationEngine{});
      ComputeReportPositions(e, info);
      EXPECT_EQ(ComposeDecisionLine(e, info), ReferenceEvaluation(region, info).line)
          << kind << " template " << i;
    }
  }
}

TEST(MatchDifferential, SpotColourEqualsTheThreeMetrics) {
  cv::RNG rng(5);
  for (int i = 0; i < 20; ++i) {
    const cv::Mat bgr = Blurred(rng.uniform(1, 40), rng.uniform(1, 40), rng);
    for (const cv::Mat& image : {bgr, ToBgra(bgr, rng)}) {
      const SpotColour spot = MeasureSpot(image);
      EXPECT_EQ(spot.hueSat.hue, MeanHueSat(bgr).hue);
      EXPECT_EQ(spot.hueSat.sat, MeanHueSat(bgr).sat);
      EXPECT_EQ(spot.value, MeanValue(bgr));
      EXPECT_EQ(spot.lab.l, MeanLab(bgr).l);
      EXPECT_EQ(spot.lab.a, MeanLab(bgr).a);
      EXPECT_EQ(spot.lab.b, MeanLab(bgr).b);
    }
  }
}

}  // namespace
}  // namespace tavrik
