#include "detect/decision.h"

#include <algorithm>
#include <cmath>

namespace tavrik {
namespace {

constexpr double kHueWrap = 360.0;
constexpr double kHueDivisor = 180.0;
constexpr double kSatDivisor = 255.0;
constexpr double kLightnessDivisor = 100.0;
constexpr double kChromaDivisor = 255.0;
constexpr double kWhitePatchPenalty = 0.02;
constexpr double kWhitePatchVetoMargin = 0.01;
constexpr double kScoreMin = -1.0;
constexpr double kScoreMax = 1.0;

struct ColorWeights {
  double sat;
  double hue;
  double lightness;
  double chroma;
};

ColorWeights WeightsFor(TemplateKindId kind) {
  switch (kind) {
    case TemplateKindId::kT1:
      return {0.25, 0.25, 0.15, 0.15};
    case TemplateKindId::kT2:
      return {0.12, 0.10, 0.08, 0.05};
    default:
      return {0.08, 0.08, 0.06, 0.04};
  }
}

struct SatAdjustment {
  double factor;
  double limit;
};

SatAdjustment SatAdjustmentFor(TemplateKindId kind) {
  if (kind == TemplateKindId::kT2) return {0.05, 0.02};
  return {0.12, 0.05};
}

// High when x > high, low when x < low, else x (NaN passes through unchanged).
double Clamp(double x, double low, double high) {
  if (x > high) return high;
  if (x < low) return low;
  return x;
}

double ClampScore(double x) { return Clamp(x, kScoreMin, kScoreMax); }

bool Known(double value) { return value >= 0.0; }

}  // namespace

void Decide(Evaluation& e, const TemplateInfo& info) {
  // Colour terms: hue and sat arrive already normalised and are divided again (see header).
  double hueTerm = 0.0;
  if (Known(e.spotHueSat.hue) && Known(info.hueSat.hue)) {
    const double d = std::fabs(e.spotHueSat.hue - info.hueSat.hue);
    hueTerm = std::min(d, kHueWrap - d) / kHueDivisor;
  }
  double satTerm = 0.0;
  if (Known(e.spotHueSat.sat) && Known(info.hueSat.sat)) {
    satTerm = std::fabs(e.spotHueSat.sat - info.hueSat.sat) / kSatDivisor;
  }
  double lightnessTerm = 0.0;
  double chromaTerm = 0.0;
  if (Known(e.spotLab.l) && Known(info.lab.l)) {
    lightnessTerm = std::fabs(e.spotLab.l - info.lab.l) / kLightnessDivisor;
    // The chroma term is gated on lightness having been measured, not on a and b themselves.
    chromaTerm = (std::fabs(e.spotLab.b - info.lab.b) + std::fabs(e.spotLab.a - info.lab.a)) /
                 kChromaDivisor;
  }

  const ColorWeights w = WeightsFor(info.kind);
  e.colorPen =
      w.sat * satTerm + w.hue * hueTerm + w.lightness * lightnessTerm + w.chroma * chromaTerm;

  e.score = e.raw;
  if (e.colorPen > 0.0) e.score = ClampScore(e.raw - e.colorPen);

  e.whitePatch = false;
  if (info.kind == TemplateKindId::kT3 && Known(e.spotHueSat.sat) && Known(e.spotValue) &&
      e.spotHueSat.sat < info.whitePatchSatMax && e.spotValue > info.whitePatchValueMin) {
    e.score = ClampScore(e.score - kWhitePatchPenalty);
    if (e.score < info.threshold - kWhitePatchVetoMargin) {
      e.whitePatch = true;
      e.score = kScoreMin;
    }
  }

  e.satAdj = 0.0;
  if (info.knownKind && Known(info.hueSat.sat) && Known(e.spotHueSat.sat)) {
    const SatAdjustment s = SatAdjustmentFor(info.kind);
    const double v = Clamp((info.hueSat.sat - e.spotHueSat.sat) * s.factor, -s.limit, s.limit);
    e.satAdj = std::min(v, 0.0);  // a spot paler than the template is never rewarded
    e.score = ClampScore(e.score + e.satAdj);
  }

  e.adj = e.score - e.baseline;
  e.marginOk = info.isT3 || info.baselineMargin <= 0.0 || e.adj >= info.baselineMargin;
  e.hit = e.score >= info.threshold && e.marginOk && !e.whitePatch;

  if (e.hit) {
    e.reason = {};
  } else if (e.whitePatch) {
    e.reason = kReasonWhitePatch;
  } else if (e.score < info.threshold) {
    e.reason = kReasonScoreBelowThreshold;
  } else {
    e.reason = kReasonAdjBelowMargin;
  }
}

}  // namespace tavrik
