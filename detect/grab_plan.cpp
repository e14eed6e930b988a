#include "detect/grab_plan.h"

#include <algorithm>

#include "base/numeric.h"

namespace tavrik {
namespace {

struct Span64 {
  std::int64_t begin = 0;
  std::int64_t end = 0;
};

bool Covers(const IntRect& r) { return r.width > 0 && r.height > 0; }

}  // namespace

std::int64_t UnionArea(std::span<const IntRect> rects) {
  // Sweep over the distinct x edges: in each vertical slab, the union of the y intervals of the
  // rectangles that span it. O(n^2 log n), for the few dozen rectangles of one window.
  std::vector<std::int64_t> xs;
  xs.reserve(rects.size() * 2);
  for (const IntRect& r : rects) {
    if (!Covers(r)) continue;
    xs.push_back(r.x);
    xs.push_back(std::int64_t{r.x} + r.width);
  }
  std::sort(xs.begin(), xs.end());
  xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
  std::int64_t area = 0;
  std::vector<Span64> spans;
  for (std::size_t i = 0; i + 1 < xs.size(); ++i) {
    const std::int64_t left = xs[i];
    const std::int64_t right = xs[i + 1];
    spans.clear();
    for (const IntRect& r : rects) {
      if (!Covers(r) || r.x > left || std::int64_t{r.x} + r.width < right) continue;
      spans.push_back({r.y, std::int64_t{r.y} + r.height});
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span64& a, const Span64& b) { return a.begin < b.begin; });
    std::int64_t covered = 0;
    std::int64_t reach = INT64_MIN;
    for (const Span64& s : spans) {
      const std::int64_t from = std::max(s.begin, reach);
      if (s.end > from) covered += s.end - from;
      reach = std::max(reach, s.end);
    }
    area += covered * (right - left);
  }
  return area;
}

IntRect BoundingBox(std::span<const IntRect> rects) {
  std::int64_t left = INT64_MAX;
  std::int64_t top = INT64_MAX;
  std::int64_t right = INT64_MIN;
  std::int64_t bottom = INT64_MIN;
  for (const IntRect& r : rects) {
    left = std::min<std::int64_t>(left, r.x);
    top = std::min<std::int64_t>(top, r.y);
    right = std::max(right, std::int64_t{r.x} + std::max(r.width, 0));
    bottom = std::max(bottom, std::int64_t{r.y} + std::max(r.height, 0));
  }
  if (rects.empty()) return {};
  return {SaturateInt32(left), SaturateInt32(top), SaturateInt32(right - left),
          SaturateInt32(bottom - top)};
}

void PlanWindowGrabs(std::span<const IntRect> rects, std::vector<Grab>& grabs) {
  grabs.clear();
  if (rects.empty()) return;
  bool together = rects.size() > 1;
  IntRect box;
  if (together) {
    box = BoundingBox(rects);
    const std::int64_t boxArea = std::int64_t{box.width} * box.height;
    const std::int64_t covered = UnionArea(rects);
    together = std::all_of(rects.begin(), rects.end(), Covers) && covered > 0 &&
               boxArea <= kMaxGrabWaste * covered && boxArea <= kMaxGroupedGrabPixels;
  }
  if (together) {
    Grab& grab = grabs.emplace_back();
    grab.box = box;
    grab.members.resize(rects.size());
    for (std::size_t i = 0; i < rects.size(); ++i) grab.members[i] = i;
    return;
  }
  // Alone, but equal rectangles still share one read.
  for (std::size_t i = 0; i < rects.size(); ++i) {
    const auto same =
        std::find_if(grabs.begin(), grabs.end(), [&](const Grab& g) { return g.box == rects[i]; });
    if (same != grabs.end()) {
      same->members.push_back(i);
    } else {
      grabs.push_back({rects[i], {i}});
    }
  }
}

}  // namespace tavrik
