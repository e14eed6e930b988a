#include "detect/report.h"

#include <utility>

#include "base/clock.h"
#include "base/numeric.h"
#include "registry/template_kind.h"

namespace tavrik {
namespace {

// The match offset in logical units, rounded per axis before it is added to a logical origin.
std::int64_t LogicalOffset(std::int32_t matchCoordinate, double invScale) {
  return NearestInt32(static_cast<double>(matchCoordinate) * invScale);
}

}  // namespace

void ComputeReportPositions(Evaluation& e, const TemplateInfo& info) {
  const IntPoint loc = e.match.matchLoc;
  const std::int64_t offsetX = LogicalOffset(loc.x, e.invScale);
  const std::int64_t offsetY = LogicalOffset(loc.y, e.invScale);
  e.pos = {SaturateInt32(std::int64_t{info.roi.x} + offsetX),
           SaturateInt32(std::int64_t{info.roi.y} + offsetY)};
  e.rawPos = {SaturateInt32(std::int64_t{info.rawRoi.x} + loc.x),
              SaturateInt32(std::int64_t{info.rawRoi.y} + loc.y)};
  e.abs = {SaturateInt32(std::int64_t{e.screenRoi.x} + offsetX),
           SaturateInt32(std::int64_t{e.screenRoi.y} + offsetY)};
  e.rawAbs = {SaturateInt32(std::int64_t{e.captureRect.x} + loc.x),
              SaturateInt32(std::int64_t{e.captureRect.y} + loc.y)};
  e.displayName.assign(DisplayNameView(info.name));  // reuses the storage of a reused record
}

std::string ComposeDecisionLine(const Evaluation& e, const TemplateInfo& info) {
  LineText line;
  line << (e.hit ? "[HIT] " : "[MISS] ") << info.name << " score=" << e.score << " pos=" << e.pos;
  if (e.scaled) line << " rawPos=" << e.rawPos;
  line << " abs=" << e.abs;
  if (e.scaled) line << " rawAbs=" << e.rawAbs;
  line << " roi=" << e.screenRoi;
  if (e.scaled) line << " rawRoi=" << e.captureRect;
  line << " baseline=" << e.baseline << " adj=" << e.adj;
  if (!e.hit) {
    line << " reason=" << e.reason << " minAdj=" << info.baselineMargin
         << " threshold=" << info.threshold;
  }
  line << " raw=" << e.raw << " satAdj=" << e.satAdj << " colorPen=" << e.colorPen;
  return std::move(line).str();
}

std::string ComposeCaptureFailureLine(std::string_view name, const IntRect& screenRoi,
                                      const IntRect& captureRect, bool scaled) {
  LineText line;
  line << "[MISS] " << name << " reason=captureFailed roi=" << screenRoi;
  if (scaled) line << " rawRoi=" << captureRect;
  return std::move(line).str();
}

std::string ComposeErrorLine(std::string_view name, const IntRect& screenRoi,
                             std::string_view what) {
  // Messages often end in a line break (OpenCV's do); breaks inside are escaped like any control.
  while (!what.empty() && (what.back() == ' ' || what.back() == '\n' || what.back() == '\r' ||
                           what.back() == '\t')) {
    what.remove_suffix(1);
  }
  LineText line;
  line << "[MISS] " << name << " reason=error roi=" << screenRoi << " what=" << what;
  return std::move(line).str();
}

HitMessage BuildHitMessage(const Evaluation& e, const TemplateInfo& info) {
  HitMessage message;
  message.timestampMs = e.timestampMs;
  message.posX = e.pos.x;
  message.posY = e.pos.y;
  message.roiWidth = e.screenRoi.width;
  message.roiHeight = e.screenRoi.height;
  message.isHit = e.hit;
  message.score = static_cast<float>(e.score);
  message.threshold = static_cast<float>(info.threshold);
  message.baseline = static_cast<float>(e.baseline);
  return message;
}

void ReportDecision(Evaluation& e, const TemplateInfo& info, const LogSink& log,
                    HitRingWriter* writer) {
  ComputeReportPositions(e, info);
  e.timestampMs = WallClockMs();
  log.Emit(ComposeDecisionLine(e, info));
  if (writer != nullptr && writer->Ready())
    writer->Publish(e.displayName, BuildHitMessage(e, info));
}

}  // namespace tavrik
