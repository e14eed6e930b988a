// Cost of one template evaluation (capture excluded) against the bare OpenCV match it is built
// around, and of a whole pass over 20 templates.
//
// Each BM_Evaluation run interleaves, per iteration, one full EvaluateTemplate (scoring, spot
// colour, decision, line composition) with a bare cv::matchTemplate + cv::minMaxLoc using the same
// method and images (the grey region already converted for grey kinds). The reported time is the
// evaluation's; the counters give the bare match's mean time and the ratio between the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "detect/color_metrics.h"
#include "detect/evaluate.h"
#include "registry/template_kind.h"

namespace tavrik {
namespace {

using Clock = std::chrono::steady_clock;

cv::Mat Noise(int size, std::uint64_t seed) {
  cv::Mat image(size, size, CV_8UC3);
  cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.5);  // some structure, like a real screen
  return image;
}

TemplateInfo MakeTemplate(const std::string& name, const cv::Mat& region, int templateSize) {
  TemplateInfo info;
  info.name = name;
  const int at = (region.cols - templateSize) / 3;
  info.image = region(cv::Rect(at, at, templateSize, templateSize)).clone();
  cv::cvtColor(info.image, info.gray, cv::COLOR_BGR2GRAY);
  AssignKind(info);
  if (info.kind == TemplateKindId::kT2) {
    // A ring-shaped mask, so the masked path really is taken with a partial mask.
    info.edgeMask = cv::Mat::zeros(info.image.size(), CV_8U);
    cv::circle(info.edgeMask, {templateSize / 2, templateSize / 2}, templateSize / 3,
               cv::Scalar(255), 3);
    info.threshold = 0.97;
  }
  info.baselineMargin = 0.0;
  info.hueSat = MeanHueSat(info.image);
  info.lab = MeanLab(info.image);
  info.rawRoi = {0, 0, region.cols, region.rows};
  info.roi = info.rawRoi;
  return info;
}

CaptureFunction Prepared(const cv::Mat& region) {
  return FromImageSource(
      [region](std::int32_t, std::int32_t, std::int32_t, std::int32_t) { return region; });
}

// args: kind (0 grey general, 1 t2 masked colour, 2 t3 squared difference), ROI side, template side
void BM_Evaluation(benchmark::State& state) {
  static const char* const kNames[] = {"general", "t2:bench", "t3:bench"};
  const int kind = static_cast<int>(state.range(0));
  const cv::Mat region = Noise(static_cast<int>(state.range(1)), 1);
  const TemplateInfo info = MakeTemplate(kNames[kind], region, static_cast<int>(state.range(2)));
  const CaptureFunction capture = Prepared(region);
  const LogSink log;

  const bool grey = info.edgeMask.empty();
  cv::Mat bareRegion;
  if (grey) {
    cv::cvtColor(region, bareRegion, cv::COLOR_BGR2GRAY);
  } else {
    bareRegion = region;
  }
  const cv::Mat& bareTemplate = grey ? info.gray : info.image;
  const int method = kind == 2   ? cv::TM_SQDIFF_NORMED
                     : kind == 1 ? cv::TM_CCORR_NORMED
                                 : cv::TM_CCOEFF_NORMED;
  // The bare match is timed twice: as it is usually written (a fresh output map per call, which
  // is also what the evaluation does) and with one output map reused across calls (no allocation
  // or page faults for the map: the strictest baseline).
  cv::Mat reused;
  auto bareMatch = [&](cv::Mat& map) {
    if (kind == 1) {
      cv::matchTemplate(bareRegion, bareTemplate, map, method, info.edgeMask);
    } else {
      cv::matchTemplate(bareRegion, bareTemplate, map, method);
    }
    double minValue = 0;
    double maxValue = 0;
    cv::Point minLoc;
    cv::Point maxLoc;
    cv::minMaxLoc(map, &minValue, &maxValue, &minLoc, &maxLoc);
    benchmark::DoNotOptimize(maxValue);
  };

  double evalSeconds = 0;
  double freshSeconds = 0;
  double reusedSeconds = 0;
  bool hit = true;
  for (auto _ : state) {
    Evaluation e;
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(EvaluateTemplate(info, log, nullptr, capture, &e));
    const auto t1 = Clock::now();
    {
      cv::Mat fresh;
      bareMatch(fresh);
    }
    const auto t2 = Clock::now();
    bareMatch(reused);
    const auto t3 = Clock::now();
    const double eval = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(eval);
    evalSeconds += eval;
    freshSeconds += std::chrono::duration<double>(t2 - t1).count();
    reusedSeconds += std::chrono::duration<double>(t3 - t2).count();
    hit = hit && e.hit;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["bare_us"] = freshSeconds / n * 1e6;
  state.counters["ratio"] = evalSeconds / freshSeconds;
  state.counters["bareReused_us"] = reusedSeconds / n * 1e6;
  state.counters["ratioReused"] = evalSeconds / reusedSeconds;
  if (!hit) state.SkipWithError("the evaluation did not find its own template");
}
BENCHMARK(BM_Evaluation)
    ->ArgNames({"kind", "roi", "tpl"})
    ->ArgsProduct({{0, 1, 2}, {256}, {64}})
    ->ArgsProduct({{0, 1, 2}, {512}, {32}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// All evaluations of one busy pass with 20 due templates (kinds mixed: general, t1, t2, t3), each
// on its own 256x256 ROI with a 64x64 template.
void BM_PassOf20Templates(benchmark::State& state) {
  static const char* const kNames[] = {"general", "t1:a", "t2:a", "t3:a"};
  std::vector<cv::Mat> regions;
  std::vector<TemplateInfo> templates;
  std::vector<CaptureFunction> captures;
  for (int i = 0; i < 20; ++i) {
    regions.push_back(Noise(256, 100 + static_cast<std::uint64_t>(i)));
    templates.push_back(
        MakeTemplate(std::string(kNames[i % 4]) + std::to_string(i), regions.back(), 64));
    captures.push_back(Prepared(regions.back()));
  }
  const LogSink log;
  for (auto _ : state) {
    for (int i = 0; i < 20; ++i) {
      benchmark::DoNotOptimize(EvaluateTemplate(templates[i], log, nullptr, captures[i]));
    }
  }
}
BENCHMARK(BM_PassOf20Templates)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavrik

BENCHMARK_MAIN();
