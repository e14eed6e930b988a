// The differential test of the matcher (detect/matcher.h): its contract, held on every case.
//
// The reference is a direct computation: the plain sums over each template placement, exact in
// 64-bit integers, normalised in double with the matcher's guard (a window without energy scores
// 0). Several hundred regions and templates (random noise, blurred noise, independent templates,
// odd and prime sizes down to 1x1, templates equal to their region and one column wider, flat,
// black and white regions, near-black noise, templates pasted into black, a bright region with a
// nearly black window holding the pattern at intensity 1, tiled patterns whose maxima tie, regions
// of several tiles, and real captures of X clients stored under data/) are scored for every kind
// the worker uses (grey TM_CCOEFF_NORMED, grey TM_SQDIFF_NORMED for t3, colour TM_CCORR_NORMED for
// t2 under the real edge mask, a full mask and a one-pixel mask), from BGR and from BGRA pixels,
// with every transform this program has. The contract:
//   - every map value within 1e-5 of the reference, and finite;
//   - the best position the reference's, unless the two placements are within 1e-5;
//   - the decision the reference's, unless the score is within 1e-5 of a limit;
//   - cv::matchTemplate, a second oracle, within 1e-5 wherever its own single-precision rounding
//     is sound and the placement carries evidence.
// Decisions that differ from cv::matchTemplate's (what the worker decided before this engine) are
// printed one by one; outside regions with windows without energy there must be none.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include "detect/color_metrics.h"
#include "detect/decision.h"
#include "detect/edge_mask.h"
#include "detect/evaluate.h"
#include "detect/match_score.h"
#include "detect/report.h"
#include "detect/template_prepare.h"
#include "match/matcher.h"
#include "match/tile_layout.h"
#include "match/transform.h"
#if TAVRIK_TEST_FFTW
#include "match/transform_fftw.h"
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
  // Dark windows and the precision they ask for: flat black and white regions, near-black noise
  // (0..2), the template pasted into black, and a bright region whose nearly black window holds
  // the template's pattern at intensity 1 (a float transform's rounding, which grows with the
  // whole region's energy, would swamp that window's correlation).
  for (int i = 0; i < 4; ++i) {
    cv::Mat pattern = Blurred(20 + 4 * i, 24 + 2 * i, rng);
    add("dark", cv::Mat(90, 110, CV_8UC3, cv::Scalar::all(0)), pattern);
    add("dark", cv::Mat(90, 110, CV_8UC3, cv::Scalar::all(255)), pattern);
    cv::Mat nearBlack(90, 110, CV_8UC3);
    rng.fill(nearBlack, cv::RNG::UNIFORM, 0, 3);
    add("dark", nearBlack, CutFrom(nearBlack, 16, 16, rng));
    add("dark", nearBlack, pattern);
    cv::Mat pasted(120, 160, CV_8UC3, cv::Scalar::all(0));
    pattern.copyTo(pasted(cv::Rect(30 + i * 7, 40 + i * 3, pattern.cols, pattern.rows)));
    add("dark", pasted, pattern);
    cv::Mat bright(200, 240, CV_8UC3, cv::Scalar::all(255));
    cv::Mat bits = pattern > 127;  // 0 or 255 per channel
    cv::Mat ones = bits / 255;     // the pattern at intensity 1
    ones.copyTo(bright(cv::Rect(60 + i * 11, 50 + i * 9, ones.cols, ones.rows)));
    add("dark", bright, ones.clone());
    add("dark", bright, bits.clone());
  }
  // The smallest and largest regions a template can be scored in.
  for (int i = 0; i < 4; ++i) {
    cv::Mat templ = Blurred(15 + i, 19 + 2 * i, rng);
    add("sizes", templ.clone(), templ);  // exact size: a 1x1 map
    add("sizes", templ(cv::Rect(0, 0, templ.cols - 1, templ.rows)).clone(), templ);  // too narrow
  }
  return cases;
}

const std::vector<Case>& Corpus() {
  static const std::vector<Case> corpus = BuildCorpus();
  return corpus;
}

// The template kinds the worker scores with, prepared as the add command prepares them; t2 also
// under a full mask and under a mask of one pixel.
enum class Mask { kEdge, kFull, kOnePixel };
struct Kind {
  const char* name;
  Mask mask;
  const char* label;
};
constexpr Kind kKinds[] = {{"general", Mask::kEdge, "general"},
                           {"t3:x", Mask::kEdge, "t3"},
                           {"t2:x", Mask::kEdge, "t2"},
                           {"t2:x", Mask::kFull, "t2:full-mask"},
                           {"t2:x", Mask::kOnePixel, "t2:one-pixel-mask"}};

TemplateInfo MakeTemplate(const Kind& kind, const Case& c) {
  TemplateInfo info;
  info.name = kind.name;
  info.image = c.templ.clone();
  EXPECT_TRUE(PrepareTemplate(info, 0.8f));
  if (kind.mask == Mask::kFull) info.edgeMask = cv::Mat(info.image.size(), CV_8U, cv::Scalar(255));
  if (kind.mask == Mask::kOnePixel) {
    info.edgeMask = cv::Mat(info.image.size(), CV_8U, cv::Scalar(0));
    info.edgeMask.at<std::uint8_t>(info.image.rows / 2, info.image.cols / 2) = 255;
  }
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

// ---------------------------------------------------------------------------------------------
// The direct reference: every placement's plain sums, exact in 64-bit integers, then the
// normalisation and the guard in double. No transform, no tiling, no shortcut.
// `evidence`, when given, marks the placements whose window has energy (t > 0).
cv::Mat DirectMap(const cv::Mat& bgr, const TemplateInfo& info, cv::Mat* evidence = nullptr) {
  const int tw = info.image.cols;
  const int th = info.image.rows;
  cv::Mat map(bgr.rows - th + 1, bgr.cols - tw + 1, CV_32F);
  cv::Mat has(map.size(), CV_8U, cv::Scalar(0));
  if (evidence != nullptr) *evidence = has;
  const int method = MatchMethod(info);
  if (method != cv::TM_CCORR_NORMED) {
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    const double area = static_cast<double>(tw) * th;
    std::int64_t ts = 0;
    std::int64_t ts2 = 0;
    for (int v = 0; v < th; ++v) {
      for (int u = 0; u < tw; ++u) {
        const std::int64_t t = info.gray.at<std::uint8_t>(v, u);
        ts += t;
        ts2 += t * t;
      }
    }
    const bool coeff = method == cv::TM_CCOEFF_NORMED;
    const std::int64_t centred = static_cast<std::int64_t>(tw) * th * ts2 - ts * ts;
    const double templNorm = coeff ? std::sqrt(static_cast<double>(centred) / area)
                                   : std::sqrt(static_cast<double>(ts2));
    for (int y = 0; y < map.rows; ++y) {
      for (int x = 0; x < map.cols; ++x) {
        std::int64_t cross = 0;
        std::int64_t ws = 0;
        std::int64_t ws2 = 0;
        for (int v = 0; v < th; ++v) {
          const std::uint8_t* w = grey.ptr<std::uint8_t>(y + v) + x;
          const std::uint8_t* t = info.gray.ptr<std::uint8_t>(v);
          for (int u = 0; u < tw; ++u) {
            cross += std::int64_t{w[u]} * t[u];
            ws += w[u];
            ws2 += std::int64_t{w[u]} * w[u];
          }
        }
        const double wndSum = static_cast<double>(ws);
        const double wndSum2 = static_cast<double>(ws2);
        double num = 0;
        double diff2 = 0;
        if (coeff) {
          num = static_cast<double>(cross) - wndSum * (static_cast<double>(ts) / area);
          diff2 = std::max(wndSum2 - wndSum * wndSum / area, 0.0);
        } else {
          num = std::max(wndSum2 - 2 * static_cast<double>(cross) + static_cast<double>(ts2), 0.0);
          diff2 = wndSum2;
        }
        const double t =
            diff2 <= std::min(0.5, 10 * FLT_EPSILON * wndSum2) ? 0.0 : std::sqrt(diff2) * templNorm;
        has.at<std::uint8_t>(y, x) = t > 0 ? 1 : 0;
        double value = GuardedScore(num, t, coeff ? 0.0 : 1.0);
        if (coeff && centred == 0) value = 1.0;  // a flat template: cv::matchTemplate's map of 1s
        map.at<float>(y, x) = static_cast<float>(value);
      }
    }
    return map;
  }
  // Masked colour correlation: the mask is 0 or 1 wherever the edge mask is 0 or not.
  struct On {
    std::size_t offset;  // of the pixel in the region, from the placement's corner
    const std::uint8_t* templ;
  };
  std::vector<On> on;
  std::int64_t templ2 = 0;
  for (int v = 0; v < th; ++v) {
    for (int u = 0; u < tw; ++u) {
      if (!info.edgeMask.empty() && info.edgeMask.at<std::uint8_t>(v, u) == 0) continue;
      const std::uint8_t* t = info.image.ptr<std::uint8_t>(v) + 3 * u;
      on.push_back(
          {static_cast<std::size_t>(v) * bgr.step[0] + 3 * static_cast<std::size_t>(u), t});
      for (int k = 0; k < 3; ++k) templ2 += std::int64_t{t[k]} * t[k];
    }
  }
  for (int y = 0; y < map.rows; ++y) {
    for (int x = 0; x < map.cols; ++x) {
      const std::uint8_t* corner = bgr.ptr<std::uint8_t>(y) + 3 * x;
      std::int64_t num = 0;
      std::int64_t energy = 0;
      for (const On& p : on) {
        const std::uint8_t* w = corner + p.offset;
        for (int k = 0; k < 3; ++k) {
          num += std::int64_t{w[k]} * p.templ[k];
          energy += std::int64_t{w[k]} * w[k];
        }
      }
      const double t = std::sqrt(static_cast<double>(energy) * static_cast<double>(templ2));
      has.at<std::uint8_t>(y, x) = t > 0 ? 1 : 0;
      map.at<float>(y, x) = static_cast<float>(GuardedScore(static_cast<double>(num), t, 0.0));
    }
  }
  return map;
}

// The decision line of an evaluation whose match comes from `map` (the worker's path after the
// matcher: the score, the spot colour, the decision, the line).
struct Decided {
  MatchScore match;
  std::string line;
  bool hit = false;
  std::string_view reason;
  double score = 0;
  double adj = 0;
};
Decided DecideFromMap(const cv::Mat& bgr, const cv::Mat& map, const TemplateInfo& info) {
  Evaluation e;
  EXPECT_TRUE(PlanCapture(info, e));
  e.captured = bgr;
  e.match = ScoreFromMap(map, MatchMethod(info) == cv::TM_SQDIFF_NORMED);
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
  return {e.match, ComposeDecisionLine(e, info), e.hit, e.reason, e.score, e.adj};
}

// The worker's evaluation of `pixels` (BGR or BGRA) with one transform: the map, and the line.
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
  cv::Mat map;
  TemplateMatchMap(region, info, kind, ws, map);
  o.map = map.clone();
  Evaluation e;
  EXPECT_TRUE(PlanCapture(info, e));
  RegionPixels fresh;  // a region of its own, as the worker's pass would have
  fresh.Reset(pixels);
  EvaluateSharedRegion(e, info, fresh, EvaluationEngine{&ws, kind, nullptr});
  ComputeReportPositions(e, info);
  o.line = ComposeDecisionLine(e, info);
  o.hit = e.hit;
  o.reason = e.reason;
  return o;
}

constexpr double kBound = 1e-5;

// The largest difference over the positions `where` marks (all when empty); non-finite values in
// `b` are counted in `nonFinite` and skipped.
double MaxDifference(const cv::Mat& a, const cv::Mat& b, const cv::Mat& where, int* nonFinite) {
  double worst = 0;
  for (int y = 0; y < a.rows; ++y) {
    for (int x = 0; x < a.cols; ++x) {
      if (!where.empty() && where.at<std::uint8_t>(y, x) == 0) continue;
      const float vb = b.at<float>(y, x);
      if (!std::isfinite(vb)) {
        ++*nonFinite;
        continue;
      }
      worst = std::max(worst, std::fabs(static_cast<double>(a.at<float>(y, x)) - vb));
    }
  }
  return worst;
}

// OpenCV's own rounding: cv::matchTemplate correlates grey images in single precision, and the
// error of a transform grows with the energy of everything it transforms, not of one window: about
// FLT_EPSILON x sqrt(region energy x template energy) in the correlation, divided by the
// placement's norm product t. Its value is sound to within kBound where that estimate is at most
// kSoundEstimate (measured over this corpus: the actual error stays below 1.4 times the
// estimate). The masked method correlates in double: sound wherever it carries evidence.
constexpr double kSoundEstimate = 4e-6;
cv::Mat SoundForOpenCv(const cv::Mat& bgr, const TemplateInfo& info) {
  const cv::Size templ = info.image.size();
  cv::Mat out(bgr.rows - templ.height + 1, bgr.cols - templ.width + 1, CV_8U, cv::Scalar(1));
  if (MatchMethod(info) == cv::TM_CCORR_NORMED) return out;
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::Mat sum;
  cv::Mat sqsum;
  cv::integral(grey, sum, sqsum, CV_64F, CV_64F);
  const double regionEnergy = sqsum.at<double>(grey.rows, grey.cols);
  const double area = static_cast<double>(templ.area());
  cv::Scalar tMean;
  cv::Scalar tStd;
  cv::meanStdDev(info.gray, tMean, tStd);
  const double templEnergy = (tStd[0] * tStd[0] + tMean[0] * tMean[0]) * area;
  const bool coeff = MatchMethod(info) == cv::TM_CCOEFF_NORMED;
  const double templNorm = coeff ? tStd[0] * std::sqrt(area) : std::sqrt(templEnergy);
  for (int y = 0; y < out.rows; ++y) {
    for (int x = 0; x < out.cols; ++x) {
      const auto box = [&](const cv::Mat& m) {
        return m.at<double>(y, x) - m.at<double>(y, x + templ.width) -
               m.at<double>(y + templ.height, x) + m.at<double>(y + templ.height, x + templ.width);
      };
      const double s = box(sum);
      const double diff2 = coeff ? box(sqsum) - s * s / area : box(sqsum);
      const double t = std::sqrt(std::max(diff2, 0.0)) * templNorm;
      const double estimate = FLT_EPSILON * std::sqrt(regionEnergy * templEnergy) / t;
      out.at<std::uint8_t>(y, x) = t > 0 && estimate <= kSoundEstimate ? 1 : 0;
    }
  }
  return out;
}

struct Tally {
  int evaluations = 0;
  double worst = 0;        // against the direct reference, every placement
  double worstOpenCv = 0;  // against cv::matchTemplate, sound placements with evidence
  long long openCvChecked = 0;
  int bestMoved = 0;        // best position differs (allowed only for near ties)
  int decisionsDiffer = 0;  // from the direct reference's decision
  int decisionsDifferFromOpenCv = 0;
  int ofWhichDarkWindows = 0;  // ... where the region holds a placement without energy
};

void Print(const char* engine, const char* kind, const Tally& t) {
  std::cout << "[differential] transform=" << engine << " kind=" << kind
            << " evaluations=" << t.evaluations << " maxDiffFromDirect=" << t.worst
            << " maxDiffFromOpenCvWhereSound=" << t.worstOpenCv
            << " openCvPlacementsChecked=" << t.openCvChecked << " bestMovedByTies=" << t.bestMoved
            << " decisionsDifferFromDirect=" << t.decisionsDiffer
            << " decisionsDifferFromMatchTemplate=" << t.decisionsDifferFromOpenCv
            << " ofWhichInRegionsWithEmptyWindows=" << t.ofWhichDarkWindows << "\n";
}

std::string Where(const Case& c, const Kind& kind, int channels) {
  return std::string(c.family) + " " + kind.label + " region " + std::to_string(c.region.cols) +
         "x" + std::to_string(c.region.rows) + " template " + std::to_string(c.templ.cols) + "x" +
         std::to_string(c.templ.rows) + " channels " + std::to_string(channels);
}

// ctest runs the corpus in shards side by side (TAVRIK_TEST_SHARD=i/n): the direct reference
// costs a multiply-add per template pixel and placement.
struct Shard {
  std::size_t index = 0;
  std::size_t count = 1;
};
Shard ThisShard() {
  Shard shard;
  if (const char* text = std::getenv("TAVRIK_TEST_SHARD")) {
    unsigned i = 0;
    unsigned n = 0;
    if (std::sscanf(text, "%u/%u", &i, &n) == 2 && n > 0 && i < n) shard = {i, n};
  }
  return shard;
}

// Runs the corpus for each transform against the direct reference and cv::matchTemplate.
std::vector<std::vector<Tally>> RunCorpus(const std::vector<TransformKind>& engines) {
  std::vector<std::vector<Tally>> tallies(engines.size(), std::vector<Tally>(std::size(kKinds)));
  MatchWorkspace ws;
  cv::RNG rng(7);
  const Shard shard = ThisShard();
  for (std::size_t index = 0; index < Corpus().size(); ++index) {
    if (index % shard.count != shard.index) continue;
    const Case& c = Corpus()[index];
    for (std::size_t k = 0; k < std::size(kKinds); ++k) {
      const TemplateInfo info = MakeTemplate(kKinds[k], c);
      if (c.region.cols < c.templ.cols || c.region.rows < c.templ.rows) {
        const MatchScore score = ScoreTemplateMatch(c.region, info);
        EXPECT_EQ(score.raw, -1.0) << Where(c, kKinds[k], 3);
        EXPECT_EQ(score.mapMean, 0.0);
        EXPECT_EQ(score.matchLoc, (IntPoint{0, 0}));
        continue;
      }
      cv::Mat evidence;
      const cv::Mat direct = DirectMap(c.region, info, &evidence);
      const Decided ref = DecideFromMap(c.region, direct, info);
      cv::Mat openCvMap;
      ReferenceMatchMap(c.region, MatchInputOf(info), openCvMap);
      const Decided today = DecideFromMap(c.region, openCvMap, info);
      const bool emptyWindows = cv::countNonZero(evidence) < static_cast<int>(evidence.total());
      cv::Mat sound;
      cv::bitwise_and(evidence, SoundForOpenCv(c.region, info), sound);
      const cv::Mat bgra = ToBgra(c.region, rng);
      for (std::size_t e = 0; e < engines.size(); ++e) {
        for (const cv::Mat* pixels : {&c.region, &bgra}) {
          const Ours ours = OurEvaluation(*pixels, info, engines[e], ws);
          const std::string where = Where(c, kKinds[k], pixels->channels());
          Tally& t = tallies[e][k];
          ++t.evaluations;
          EXPECT_EQ(ours.map.size(), direct.size()) << where;
          if (ours.map.size() != direct.size()) continue;
          EXPECT_TRUE(cv::checkRange(ours.map)) << where << ": a non-finite value in the map";
          int nonFinite = 0;
          const double diff = MaxDifference(ours.map, direct, cv::Mat(), &nonFinite);
          t.worst = std::max(t.worst, diff);
          EXPECT_LE(diff, kBound) << where;
          const double diffCv = MaxDifference(ours.map, openCvMap, sound, &nonFinite);
          t.worstOpenCv = std::max(t.worstOpenCv, diffCv);
          t.openCvChecked += cv::countNonZero(sound);
          EXPECT_LE(diffCv, kBound) << where << " (cv::matchTemplate, sound placements)";
          // The best position: the reference's, unless the two placements tie within the bound.
          const Decided mine = DecideFromMap(c.region, ours.map, info);
          if (!(mine.match.matchLoc == ref.match.matchLoc)) {
            ++t.bestMoved;
            const float atRef = direct.at<float>(ref.match.matchLoc.y, ref.match.matchLoc.x);
            const float atOurs = direct.at<float>(mine.match.matchLoc.y, mine.match.matchLoc.x);
            EXPECT_LE(std::fabs(static_cast<double>(atRef) - atOurs), kBound) << where;
          }
          // The decision: the reference's, unless the score sits within the bound of a limit.
          const bool nearLimit = std::fabs(ref.score - info.threshold) <= kBound ||
                                 std::fabs(ref.adj - info.baselineMargin) <= kBound ||
                                 !(mine.match.matchLoc == ref.match.matchLoc);
          if (ours.hit != ref.hit || ours.reason != ref.reason) {
            ++t.decisionsDiffer;
            EXPECT_TRUE(nearLimit)
                << where << "\n  ours: " << ours.line << "\n  ref:  " << ref.line;
          }
          // Against what the worker decided before this engine: counted, and printed per case.
          if (ours.hit != today.hit || ours.reason != today.reason) {
            ++t.decisionsDifferFromOpenCv;
            t.ofWhichDarkWindows += emptyWindows ? 1 : 0;
            std::cout << "[differential] decision changed from cv::matchTemplate's: " << where
                      << (emptyWindows ? " (windows without energy)" : "")
                      << "\n  now:    " << ours.line << "\n  before: " << today.line << "\n";
            EXPECT_TRUE(emptyWindows || nearLimit) << where;
          }
        }
      }
    }
  }
  return tallies;
}

std::vector<TransformKind> Transforms() {
#if TAVRIK_TEST_FFTW
  InstallFftwFactory(MakeFftwTransform);
#endif
  return AvailableTransformKinds();
}

// Every transform on its own: the circular cross-correlation of two integer planes, through
// Forward, MulConj (set, then accumulated) and Inverse, is the direct sum, for even and odd
// widths and heights and with the hint that only the first rows are non-zero.
TEST(MatchDifferential, EveryTransformCorrelatesLikeTheDirectCircularSum) {
  struct Shape {
    int rows, cols, nonzeroRows;
  };
  const Shape shapes[] = {{1, 2, 1},   {2, 3, 2},   {7, 9, 7},    {45, 75, 20},
                          {64, 64, 3}, {81, 50, 81}, {24, 125, 24}};
  cv::RNG rng(77);
  for (TransformKind kind : Transforms()) {
    for (const Shape& s : shapes) {
      const auto transform = MakeTransform(kind, cv::Size(s.cols, s.rows));
      cv::Mat ar(s.rows, s.cols, CV_32S), br(s.rows, s.cols, CV_32S);
      rng.fill(ar, cv::RNG::UNIFORM, 0, 256);
      rng.fill(br, cv::RNG::UNIFORM, 0, 256);
      ar.rowRange(s.nonzeroRows, s.rows).setTo(0);
      br.rowRange(s.nonzeroRows, s.rows).setTo(0);
      ar.convertTo(ar, CV_64F);
      br.convertTo(br, CV_64F);
      cv::Mat a = transform->NewPlane(), b = transform->NewPlane();
      ar.copyTo(a);
      br.copyTo(b);
      cv::Mat sa = transform->NewSpectrum(), sb = transform->NewSpectrum();
      cv::Mat product = transform->NewSpectrum(), out = transform->NewPlane();
      transform->Forward(a, sa, s.nonzeroRows);
      transform->Forward(b, sb, s.nonzeroRows);
      transform->MulConj(sa, sb, product, false);
      transform->MulConj(sa, sb, product, true);
      transform->Inverse(product, out);
      double worst = 0;
      for (int y = 0; y < s.rows; ++y) {
        for (int x = 0; x < s.cols; ++x) {
          double direct = 0;
          for (int v = 0; v < s.rows; ++v) {
            for (int u = 0; u < s.cols; ++u) {
              direct += ar.at<double>((y + v) % s.rows, (x + u) % s.cols) * br.at<double>(v, u);
            }
          }
          const double ours = out.at<double>(y, x) * transform->InverseScale() / 2;
          worst = std::max(worst, std::fabs(ours - direct));
        }
      }
      EXPECT_LT(worst, 0.01) << TransformName(kind) << " " << s.rows << "x" << s.cols;
    }
  }
}

TEST(MatchDifferential, CorpusIsSeveralHundredImagesIncludingRealCapturesAndDarkWindows) {
  EXPECT_GE(Corpus().size(), 400u);
  int x11 = 0;
  int dark = 0;
  for (const Case& c : Corpus()) {
    x11 += c.family == "x11" ? 1 : 0;
    dark += c.family == "dark" ? 1 : 0;
  }
  EXPECT_GE(x11, 100) << "the X client captures under " << DataDir() << " were not read";
  EXPECT_GE(dark, 20);
}

TEST(MatchDifferential, EveryTransformHoldsTheContractAgainstTheDirectSums) {
  const std::vector<TransformKind> engines = Transforms();
  const auto tallies = RunCorpus(engines);
  for (std::size_t e = 0; e < engines.size(); ++e) {
    for (std::size_t k = 0; k < std::size(kKinds); ++k) {
      Print(TransformName(engines[e]), kKinds[k].label, tallies[e][k]);
      EXPECT_GT(tallies[e][k].evaluations, 0);
    }
  }
}

TEST(MatchDifferential, AnExactCropHitsBesideABlackDesktop) {
  // The logo of an X desktop with the black root window around it, and an exact crop of the logo
  // as a t2 template: black windows the size of the template must not hide the crop's place.
  const cv::Mat desktop = cv::imread((DataDir() / "x11_desktop.png").string(), cv::IMREAD_COLOR);
  ASSERT_FALSE(desktop.empty());
  const cv::Mat region = desktop(cv::Rect(0, 0, 320, 320)).clone();
  ASSERT_EQ(cv::countNonZero(region(cv::Rect(220, 240, 80, 80)).reshape(1)), 0) << "not black";
  Case c{"scene", region, region(cv::Rect(100, 100, 80, 80)).clone()};
  TemplateInfo info = MakeTemplate(kKinds[2], c);
  info.threshold = 0.97;
  cv::Mat openCvMap;
  ReferenceMatchMap(region, MatchInputOf(info), openCvMap);
  const Decided before = DecideFromMap(region, openCvMap, info);
  std::cout << "[differential] the scene through cv::matchTemplate: " << before.line << "\n";
  for (TransformKind kind : Transforms()) {
    MatchWorkspace ws;
    const Ours ours = OurEvaluation(region, info, kind, ws);
    EXPECT_TRUE(ours.hit) << TransformName(kind) << ": " << ours.line;
    const MatchScore score = ScoreFromMap(ours.map, false);
    EXPECT_EQ(score.matchLoc, (IntPoint{100, 100})) << TransformName(kind);
    EXPECT_NEAR(score.raw, 1.0, 1e-6) << TransformName(kind);
    EXPECT_TRUE(cv::checkRange(ours.map)) << TransformName(kind);
  }
}

TEST(MatchDifferential, DirectReferenceIsTheDefinitionOnAHandComputedCase) {
  // A 2x1 grey template [10, 20] in the row [0, 10, 20, 10]: CCOEFF at x = 1 is a perfect +1, at
  // x = 0 the window [0, 10] has the same shape (+1), at x = 2 [20, 10] is the inverse (-1).
  TemplateInfo info;
  info.name = "general";
  info.image = cv::Mat(1, 2, CV_8UC3);
  info.image.at<cv::Vec3b>(0, 0) = cv::Vec3b::all(10);
  info.image.at<cv::Vec3b>(0, 1) = cv::Vec3b::all(20);
  ASSERT_TRUE(PrepareTemplate(info, 0.8f));
  cv::Mat region(1, 4, CV_8UC3);
  const std::uint8_t row[] = {0, 10, 20, 10};
  for (int x = 0; x < 4; ++x) region.at<cv::Vec3b>(0, x) = cv::Vec3b::all(row[x]);
  const cv::Mat map = DirectMap(region, info);
  EXPECT_FLOAT_EQ(map.at<float>(0, 0), 1.0f);
  EXPECT_FLOAT_EQ(map.at<float>(0, 1), 1.0f);
  EXPECT_FLOAT_EQ(map.at<float>(0, 2), -1.0f);
  // Masked t2: a black window has no energy and scores 0, not NaN.
  info.name = "t2:x";
  ASSERT_TRUE(PrepareTemplate(info, 0.8f));
  info.edgeMask = cv::Mat(1, 2, CV_8U, cv::Scalar(255));
  cv::Mat black(1, 3, CV_8UC3, cv::Scalar::all(0));
  black.at<cv::Vec3b>(0, 2) = cv::Vec3b::all(40);
  const cv::Mat masked = DirectMap(black, info);
  EXPECT_EQ(masked.at<float>(0, 0), 0.0f);
  // [0, 40] against [10, 20]: 800 / sqrt(1600 * 500) per channel, the same over three channels.
  EXPECT_NEAR(masked.at<float>(0, 1), 800.0 / std::sqrt(1600.0 * 500.0), 1e-6);
}

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
  EXPECT_EQ(third.substr(0, third.find(" | ")),
            DecideFromMap(changed, DirectMap(changed, info), info).line);
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

TEST(MatchDifferential, TemplatesOfOneRegionShareItsTilesWithoutChangingAnything) {
  // Templates of two size classes, several of each, scored together on one region larger than a
  // tile, as the templates of one rectangle are in a pass: each geometry's tiles are transformed
  // once for all its templates, and every map value, best placement and line is still the direct
  // reference's. A region that fits one tile is the other row.
  struct Row {
    cv::Size region;
    std::vector<int> sides;
  };
  const Row rows[] = {{{330, 290}, {20, 27, 32, 40, 57, 64}}, {{180, 230}, {24, 24, 24, 19, 22}}};
  cv::RNG rng(11);
  for (const Row& row : rows) {
    const cv::Mat region = Blurred(row.region.height, row.region.width, rng);
    for (const char* kind : {"general", "t3:x", "t2:x"}) {
      SCOPED_TRACE(std::string(kind) + " on " + std::to_string(row.region.width));
      std::vector<TemplateInfo> infos(row.sides.size());
      std::vector<ScoreJob> jobs;
      std::uint64_t aloneTiles = 0;
      std::map<std::tuple<int, int, int, int>, std::uint64_t> mostPerGeometry;
      for (std::size_t i = 0; i < infos.size(); ++i) {
        TemplateInfo& info = infos[i];
        info.name = kind;
        info.image = CutFrom(region, row.sides[i], row.sides[i], rng);
        ASSERT_TRUE(PrepareTemplate(info, 0.8f));
        info.rawRoi = info.roi = {0, 0, region.cols, region.rows};
        jobs.push_back({&info, {}, false});
        MatchWorkspace alone;
        RegionPixels pixels;
        pixels.Reset(region);
        ScoreRegion(pixels, info, alone, DefaultTransformKind(), nullptr);
        aloneTiles += alone.RegionTiles();
        const TileGeometry g = GeometryFor(row.region, info.image.size());
        auto& most = mostPerGeometry[{g.dft.width, g.dft.height, g.reach.width, g.reach.height}];
        most = std::max(most, alone.RegionTiles());
      }
      MatchWorkspace ws;
      RegionPixels shared;
      shared.Reset(region);
      std::stop_source stopped;
      stopped.request_stop();
      EXPECT_FALSE(ScoreTemplates(shared, jobs, ws, DefaultTransformKind(), nullptr,
                                  stopped.get_token()));
      EXPECT_TRUE(std::none_of(jobs.begin(), jobs.end(), [](const ScoreJob& j) { return j.done; }));
      ASSERT_TRUE(ScoreTemplates(shared, jobs, ws, DefaultTransformKind(), nullptr));
      std::uint64_t sharedTiles = 0;
      for (const auto& [geometry, tiles] : mostPerGeometry) sharedTiles += tiles;
      EXPECT_EQ(ws.RegionTiles(), sharedTiles);
      EXPECT_LT(ws.RegionTiles(), aloneTiles);
      for (std::size_t i = 0; i < infos.size(); ++i) {
        const TemplateInfo& info = infos[i];
        ASSERT_TRUE(jobs[i].done);
        const cv::Mat direct = DirectMap(region, info);
        cv::Mat map;
        TemplateMatchMap(shared, info, DefaultTransformKind(), ws, map);
        int nonFinite = 0;
        EXPECT_LE(MaxDifference(map, direct, cv::Mat(), &nonFinite), kBound) << "template " << i;
        Evaluation e;
        ASSERT_TRUE(PlanCapture(info, e));
        EvaluationEngine engine;
        engine.prescored = &jobs[i].score;
        EvaluateSharedRegion(e, info, shared, engine);
        ComputeReportPositions(e, info);
        EXPECT_EQ(ComposeDecisionLine(e, info), DecideFromMap(region, direct, info).line)
            << "template " << i;
      }
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
