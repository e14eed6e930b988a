#include "detect/evaluate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <opencv2/core/types.hpp>
#include <string_view>

#include "base/numeric.h"
#include "detect/color_metrics.h"
#include "detect/decision.h"
#include "detect/match_score.h"
#include "detect/report.h"

namespace tavrik {
namespace {

constexpr double kScaleTolerance = 0.000001;

// Composing the line may itself fail (allocation); the evaluation is abandoned either way.
void ReportContainedError(const LogSink& log, const TemplateInfo& info, const IntRect& screenRoi,
                          std::string_view what) noexcept {
  try {
    log.Emit(ComposeErrorLine(info.name, screenRoi, what), LogSeverity::kError);
  } catch (...) {
  }
}

}  // namespace

bool PlanCapture(const TemplateInfo& info, Evaluation& e) {
  const std::int64_t x = std::int64_t{info.windowOrigin.x} + info.rawRoi.x;
  const std::int64_t y = std::int64_t{info.windowOrigin.y} + info.rawRoi.y;
  const std::int64_t width = info.rawRoi.width;
  const std::int64_t height = info.rawRoi.height;
  e.captureRect = {SaturateInt32(x), SaturateInt32(y), info.rawRoi.width, info.rawRoi.height};

  e.invScale = info.scale > 0.0 ? 1.0 / info.scale : 1.0;
  e.scaled = std::fabs(info.scale - 1.0) > kScaleTolerance;
  e.screenRoi = {NearestInt32(static_cast<double>(e.captureRect.x) * e.invScale),
                 NearestInt32(static_cast<double>(e.captureRect.y) * e.invScale),
                 std::max(info.roi.width, 1), std::max(info.roi.height, 1)};

  // The far edges must be representable too: capture backends add width to x.
  return FitsInt32(x) && FitsInt32(y) && FitsInt32(x + std::max<std::int64_t>(width, 0)) &&
         FitsInt32(y + std::max<std::int64_t>(height, 0));
}

namespace {

// Only for callers without scratch of their own (tools, tests): the pool's threads bring theirs, as
// with the workspace.
SpotScratch& ThreadSpotScratch() {
  thread_local SpotScratch scratch;
  return scratch;
}

MatchWorkspace& WorkspaceOf(const EvaluationEngine& engine) {
  return engine.workspace != nullptr ? *engine.workspace : ThreadMatchWorkspace();
}

// The match, the best-match rectangle and its colour (stage 1 after the capture).
void MatchAndMeasure(Evaluation& e, const TemplateInfo& info, RegionPixels& region,
                     const EvaluationEngine& engine) {
  MatchWorkspace& workspace = WorkspaceOf(engine);
  e.match = engine.prescored != nullptr
                ? *engine.prescored
                : ScoreRegion(region, info, workspace, engine.kind, engine.cache, engine.stop);
  e.baseline = e.match.mapMean > 0.0 ? e.match.mapMean : 0.0;
  e.raw = e.match.raw;

  const cv::Rect spot =
      cv::Rect(e.match.matchLoc.x, e.match.matchLoc.y, info.image.cols, info.image.rows) &
      cv::Rect(0, 0, e.captured.cols, e.captured.rows);
  e.matchRect = {spot.x, spot.y, spot.width, spot.height};
  if (spot.width > 0 && spot.height > 0) {
    // One HSV and one Lab conversion give MeanHueSat, MeanValue and MeanLab.
    const SpotColour colour =
        MeasureSpot(e.captured(spot), engine.spot != nullptr ? *engine.spot : ThreadSpotScratch());
    e.spotHueSat = colour.hueSat;
    e.spotValue = colour.value;
    e.spotLab = colour.lab;
  } else {
    e.spotHueSat = {-1.0, -1.0};
    e.spotValue = -1.0;
    e.spotLab = {-1.0, -1.0, -1.0};
  }
}

void CopyMatchAndColour(const Evaluation& from, Evaluation& to) {
  to.match = from.match;
  to.baseline = from.baseline;
  to.raw = from.raw;
  to.matchRect = from.matchRect;
  to.spotHueSat = from.spotHueSat;
  to.spotValue = from.spotValue;
  to.spotLab = from.spotLab;
}

bool SamePixels(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(a.cols) * a.elemSize();
  for (int row = 0; row < a.rows; ++row) {
    if (std::memcmp(a.ptr(row), b.ptr(row), rowBytes) != 0) return false;
  }
  return true;
}

thread_local RegionPixels t_region;

}  // namespace

void EvaluateRegion(Evaluation& e, const TemplateInfo& info) {
  t_region.Reset(e.captured);
  MatchAndMeasure(e, info, t_region, EvaluationEngine{});
  t_region.Reset(cv::Mat());
  Decide(e, info);
}

void EvaluateSharedRegion(Evaluation& e, const TemplateInfo& info, RegionPixels& region,
                          const EvaluationEngine& engine) {
  e.captured = region.Pixels();
  MatchAndMeasure(e, info, region, engine);
  Decide(e, info);
}

bool RectangleMemory::Remember(const cv::Mat& latest) {
  if (!pixels.empty() && SamePixels(pixels, latest)) return false;
  // A copy of the same size reuses the buffer; a rectangle is a fixed size, so this allocates
  // only the first time.
  latest.copyTo(pixels);
  ++generation;
  return true;
}

void EvaluateRememberedRegion(Evaluation& e, const TemplateInfo& info, RegionPixels& region,
                              const EvaluationEngine& engine, std::uint64_t generation,
                              RecordMemory& memory, ReuseCounters* counters) {
  e.captured = region.Pixels();
  if (memory.valid && memory.generation == generation && memory.rect == e.captureRect) {
    CopyMatchAndColour(memory.result, e);
    if (counters != nullptr) counters->reused.fetch_add(1, std::memory_order_relaxed);
  } else {
    memory.valid = false;
    MatchAndMeasure(e, info, region, engine);
    CopyMatchAndColour(e, memory.result);
    memory.rect = e.captureRect;
    memory.generation = generation;
    memory.valid = true;
    if (counters != nullptr) counters->matched.fetch_add(1, std::memory_order_relaxed);
  }
  Decide(e, info);
}

CaptureFunction FromImageSource(ImageSource source) {
  return [source = std::move(source)](std::int32_t x, std::int32_t y, std::int32_t width,
                                      std::int32_t height, cv::Mat& image) {
    image = source ? source(x, y, width, height) : cv::Mat();
    return !image.empty();
  };
}

EvaluationOutcome RunEvaluation(const TemplateInfo& info, const CaptureFunction& capture,
                                SharedCapture& shared, const EvaluationEngine& engine,
                                Evaluation& e, std::string& error, RecordMemory* memory,
                                ReuseCounters* counters) noexcept {
  try {
    if (!PlanCapture(info, e)) return EvaluationOutcome::kCaptureFailed;
    const IntRect& r = e.captureRect;
    if (!shared.attempted || !(shared.rect == r)) {
      // A capture that throws leaves the rectangle unattempted: the next template tries again.
      shared.rect = r;
      shared.attempted = false;
      shared.ok = false;
      shared.remembered = false;
      shared.region.Reset(cv::Mat());
      // A BGRA view of the right size over the reused storage: a screen source that fills it in
      // place allocates nothing.
      const std::size_t bytes = static_cast<std::size_t>(std::max(r.width, 0)) *
                                static_cast<std::size_t>(std::max(r.height, 0)) * 4;
      if (bytes > 0 && bytes <= static_cast<std::size_t>(INT32_MAX)) {
        if (shared.storage.total() < bytes)
          shared.storage.create(1, static_cast<int>(bytes), CV_8U);
        shared.pixels = cv::Mat(r.height, r.width, CV_8UC4, shared.storage.data);
      } else {
        shared.pixels = cv::Mat();
      }
      shared.ok =
          capture && capture(r.x, r.y, r.width, r.height, shared.pixels) && !shared.pixels.empty();
      shared.attempted = true;
      if (shared.ok) shared.region.Reset(shared.pixels);
    }
    if (!shared.ok) {
      e.captured = cv::Mat();
      return EvaluationOutcome::kCaptureFailed;
    }
    if (memory != nullptr && shared.remembered) {
      EvaluateRememberedRegion(e, info, shared.region, engine, shared.generation, *memory,
                               counters);
    } else {
      EvaluateSharedRegion(e, info, shared.region, engine);
    }
    return EvaluationOutcome::kDecided;
  } catch (const EvaluationStopped&) {
    return EvaluationOutcome::kStopped;
  } catch (const std::exception& failure) {
    try {
      error = failure.what();
    } catch (...) {
    }
  } catch (...) {
    try {
      error = "unknown exception";
    } catch (...) {
    }
  }
  return EvaluationOutcome::kError;
}

EvaluationOutcome ReportOutcome(EvaluationOutcome outcome, Evaluation& e, const TemplateInfo& info,
                                const std::string& error, const LogSink& log, HitRingWriter* writer,
                                ErrorLine errorLine) noexcept {
  const bool writeError = errorLine == ErrorLine::kWrite;
  try {
    switch (outcome) {
      case EvaluationOutcome::kCaptureFailed:
        log.Emit(ComposeCaptureFailureLine(info.name, e.screenRoi, e.captureRect, e.scaled),
                 LogSeverity::kWarning);
        return outcome;
      case EvaluationOutcome::kDecided:
        ReportDecision(e, info, log, writer);
        return outcome;
      case EvaluationOutcome::kError:
        if (writeError) ReportContainedError(log, info, e.screenRoi, error);
        return outcome;
      case EvaluationOutcome::kStopped:
        return outcome;
    }
  } catch (const std::exception& failure) {
    if (writeError) ReportContainedError(log, info, e.screenRoi, failure.what());
  } catch (...) {
    if (writeError) ReportContainedError(log, info, e.screenRoi, "unknown exception");
  }
  return EvaluationOutcome::kError;
}

EvaluationOutcome EvaluateTemplate(const TemplateInfo& info, const LogSink& log,
                                   HitRingWriter* writer, const CaptureFunction& capture,
                                   Evaluation* record, ErrorLine errorLine) noexcept {
  Evaluation local;
  Evaluation& e = record != nullptr ? *record : local;
  thread_local SharedCapture shared;
  shared.Forget();
  std::string error;
  const EvaluationOutcome outcome =
      RunEvaluation(info, capture, shared, EvaluationEngine{}, e, error);
  return ReportOutcome(outcome, e, info, error, log, writer, errorLine);
}

}  // namespace tavrik
