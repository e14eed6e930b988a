// The budget for captured pixels. The DetectionLoop remembers the last pixels of every distinct
// capture rectangle (RectangleMemory, detect/evaluate.h) for as long as a template watches it, so
// what it holds grows with the watched rectangles, not with the templates: a template on a
// rectangle that is already watched costs nothing more. The add command holds each new template
// against this budget before registering it and refuses, with one line, the template whose
// rectangle would take the remembered pixels past it.
//
// Every figure is 4 bytes a pixel (the BGRA a grab gives) in 64-bit arithmetic, so no int32
// rectangle, however large, overflows. A rectangle that cannot be captured at all (it leaves the
// int32 range, see PlanCapture) is never remembered and costs nothing.
//
// Threads: pure; any thread. The snapshot's records are only read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "registry/template_info.h"
#include "registry/template_registry.h"

namespace tavrik {

// What the remembered pixels of all watched rectangles may take together.
inline constexpr std::int64_t kPixelBudgetBytes = std::int64_t{192} << 20;
inline constexpr std::int64_t kRememberedBytesPerPixel = 4;

// The distinct capture rectangles (windowOrigin + rawRoi) of `snapshot`, sorted, leaving out the
// record registered under `replacedName`: an add that replaces that name gives its rectangle back
// unless another template still watches it.
std::vector<IntRect> WatchedRectangles(const TemplateSnapshot& snapshot,
                                       const std::string& replacedName);

// "" when `candidate`'s capture rectangle fits beside the `watched` ones (one of them already:
// always), else the "[Spec] Refused template" line that says what it needs and what is in use.
std::string PixelBudgetRefusal(const TemplateInfo& candidate, const std::vector<IntRect>& watched,
                               std::int64_t budgetBytes = kPixelBudgetBytes);

}  // namespace tavrik
