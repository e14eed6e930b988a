#include "detect/pixel_budget.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "base/numeric.h"
#include "detect/evaluate.h"
#include "detect/evaluation.h"

namespace tavrik {
namespace {

constexpr std::int64_t kBytesPerMiB = std::int64_t{1} << 20;
constexpr std::int64_t kPixelsPerMiB = kBytesPerMiB / kRememberedBytesPerPixel;

// Counted in pixels rather than bytes: an int32 rectangle has fewer than 2^62 of them, while its
// bytes could pass 2^63.
std::int64_t PixelsOf(const IntRect& r) {
  return std::int64_t{std::max(r.width, 0)} * std::int64_t{std::max(r.height, 0)};
}

// Saturates: a snapshot that somehow holds more than the int64 range is still "over budget".
std::int64_t AddPixels(std::int64_t a, std::int64_t b) {
  return a > std::numeric_limits<std::int64_t>::max() - b ? std::numeric_limits<std::int64_t>::max()
                                                          : a + b;
}

// Rounded up, so that the figures of a refusal always add up to more than the budget.
std::int64_t MiBUp(std::int64_t pixels) {
  return pixels / kPixelsPerMiB + (pixels % kPixelsPerMiB != 0 ? 1 : 0);
}

bool RectLess(const IntRect& a, const IntRect& b) {
  return std::tie(a.x, a.y, a.width, a.height) < std::tie(b.x, b.y, b.width, b.height);
}

}  // namespace

std::vector<IntRect> WatchedRectangles(const TemplateSnapshot& snapshot,
                                       const std::string& replacedName) {
  std::vector<IntRect> rects;
  rects.reserve(snapshot.size());
  Evaluation plan;
  for (const TemplatePtr& info : snapshot) {
    if (!info || info->name == replacedName) continue;
    if (PlanCapture(*info, plan)) rects.push_back(plan.captureRect);
  }
  std::sort(rects.begin(), rects.end(), RectLess);
  rects.erase(std::unique(rects.begin(), rects.end()), rects.end());
  return rects;
}

std::string PixelBudgetRefusal(const TemplateInfo& candidate, const std::vector<IntRect>& watched,
                               std::int64_t budgetBytes) {
  Evaluation plan;
  if (!PlanCapture(candidate, plan)) return {};
  const IntRect& rect = plan.captureRect;
  if (std::find(watched.begin(), watched.end(), rect) != watched.end()) return {};

  std::int64_t used = 0;
  for (const IntRect& r : watched) used = AddPixels(used, PixelsOf(r));
  const std::int64_t need = PixelsOf(rect);
  const std::int64_t budget = std::max<std::int64_t>(budgetBytes, 0) / kRememberedBytesPerPixel;
  if (used <= budget && need <= budget - used) return {};
  return (LineText() << "[Spec] Refused template '" << candidate.name << "': its region "
                     << rect.width << "x" << rect.height << " needs " << MiBUp(need)
                     << " MiB of captured pixels; " << MiBUp(used) << " MiB of the "
                     << std::max<std::int64_t>(budgetBytes, 0) / kBytesPerMiB
                     << " MiB pixel budget are in use")
      .str();
}

}  // namespace tavrik
