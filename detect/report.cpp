#include "detect/report.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "base/clock.h"
#include "registry/template_kind.h"

namespace tavrik {
namespace {

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

void AppendInt(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void AppendPoint(std::string& out, std::string_view key, const IntPoint& p) {
  out += key;
  AppendInt(out, p.x);
  out += ',';
  AppendInt(out, p.y);
  out += ')';
}

void AppendRect(std::string& out, std::string_view key, const IntRect& r) {
  out += key;
  AppendInt(out, r.x);
  out += ',';
  AppendInt(out, r.y);
  out += ',';
  AppendInt(out, r.width);
  out += 'x';
  AppendInt(out, r.height);
  out += ')';
}

void AppendKeyDouble(std::string& out, std::string_view key, double value) {
  out += key;
  AppendDouble(out, value);
}

// The match offset in logical units, rounded per axis before it is added to a logical origin.
std::int64_t LogicalOffset(std::int32_t matchCoordinate, double invScale) {
  return NearestInt32(static_cast<double>(matchCoordinate) * invScale);
}

}  // namespace

std::int32_t SaturateInt32(std::int64_t v) {
  if (v < kInt32Min) return static_cast<std::int32_t>(kInt32Min);
  if (v > kInt32Max) return static_cast<std::int32_t>(kInt32Max);
  return static_cast<std::int32_t>(v);
}

std::int32_t NearestInt32(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);  // halves away from zero
  if (r <= static_cast<double>(kInt32Min)) return static_cast<std::int32_t>(kInt32Min);
  if (r >= static_cast<double>(kInt32Max)) return static_cast<std::int32_t>(kInt32Max);
  return static_cast<std::int32_t>(r);
}

void AppendDouble(std::string& out, double value) {
  // to_chars with general format and precision 6 is printf's "%g" in the C locale, which is what
  // an untouched std::ostream writes for a double.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  out.append(buffer, result.ptr);
}

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
  e.displayName = DisplayName(info.name);
}

std::string ComposeDecisionLine(const Evaluation& e, const TemplateInfo& info) {
  std::string line;
  line.reserve(256 + info.name.size());
  line += e.hit ? "[HIT] " : "[MISS] ";
  line += info.name;
  AppendKeyDouble(line, " score=", e.score);
  AppendPoint(line, " pos=(", e.pos);
  if (e.scaled) AppendPoint(line, " rawPos=(", e.rawPos);
  AppendPoint(line, " abs=(", e.abs);
  if (e.scaled) AppendPoint(line, " rawAbs=(", e.rawAbs);
  AppendRect(line, " roi=(", e.screenRoi);
  if (e.scaled) AppendRect(line, " rawRoi=(", e.captureRect);
  AppendKeyDouble(line, " baseline=", e.baseline);
  AppendKeyDouble(line, " adj=", e.adj);
  if (!e.hit) {
    line += " reason=";
    line += e.reason;
    AppendKeyDouble(line, " minAdj=", info.baselineMargin);
    AppendKeyDouble(line, " threshold=", info.threshold);
  }
  AppendKeyDouble(line, " raw=", e.raw);
  AppendKeyDouble(line, " satAdj=", e.satAdj);
  AppendKeyDouble(line, " colorPen=", e.colorPen);
  return line;
}

std::string ComposeCaptureFailureLine(std::string_view name, const IntRect& screenRoi,
                                      const IntRect& captureRect, bool scaled) {
  std::string line;
  line.reserve(96 + name.size());
  line += "[MISS] ";
  line += name;
  line += " reason=captureFailed";
  AppendRect(line, " roi=(", screenRoi);
  if (scaled) AppendRect(line, " rawRoi=(", captureRect);
  return line;
}

std::string ComposeErrorLine(std::string_view name, const IntRect& screenRoi,
                             std::string_view what) {
  std::string line;
  line.reserve(64 + name.size() + what.size());
  line += "[MISS] ";
  line += name;
  line += " reason=error";
  AppendRect(line, " roi=(", screenRoi);
  line += " what=";
  const std::size_t start = line.size();
  for (char c : what) line += (c == '\n' || c == '\r') ? ' ' : c;
  while (line.size() > start && line.back() == ' ') line.pop_back();
  return line;
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
