#include "detect/pass_plan.h"

#include <algorithm>
#include <optional>
#include <string>

#include "detect/detection_loop.h"
#include "detect/grab_plan.h"
#include "detect/region_fit.h"

namespace tavrik {
namespace {

// A slice transforms the region's tiles once for its templates: one with fewer templates than
// this would spend more on those transforms than it saves by running beside another.
constexpr std::size_t kTemplatesPerSlice = 4;

// True for a template whose region still waits to be held against the screen's size.
bool AwaitsSizeCheck(const TemplateInfo& info, const DetectionLoopState& state, bool checking) {
  return checking && info.regionUnchecked &&
         !std::binary_search(state.fittedSerials.begin(), state.fittedSerials.end(),
                             info.serial.Value());
}

bool Intersect(const IntRect& a, const IntRect& b) {
  return std::int64_t{a.x} < std::int64_t{b.x} + b.width &&
         std::int64_t{b.x} < std::int64_t{a.x} + a.width &&
         std::int64_t{a.y} < std::int64_t{b.y} + b.height &&
         std::int64_t{b.y} < std::int64_t{a.y} + a.height;
}

}  // namespace

void CheckUnsizedRegions(const DetectionContext& context, DetectionLoopState& state,
                         TemplateSnapshot& snapshot) {
  if (!context.screenBounds) return;
  bool asked = false;
  std::optional<IntRect> screen;
  for (auto it = snapshot.begin(); it != snapshot.end();) {
    const TemplatePtr info = *it;
    if (!info || !AwaitsSizeCheck(*info, state, true)) {
      ++it;
      continue;
    }
    if (!asked) {
      asked = true;
      try {
        screen = context.screenBounds();
      } catch (...) {
        screen.reset();
      }
    }
    if (!screen) return;  // still unknown: they wait, uncaptured
    const std::string refusal =
        RegionFitRefusal(info->name, info->rawRoi.width, info->rawRoi.height, *screen);
    if (refusal.empty()) {
      const std::uint64_t serial = info->serial.Value();
      state.fittedSerials.insert(
          std::upper_bound(state.fittedSerials.begin(), state.fittedSerials.end(), serial), serial);
      ++it;
      continue;
    }
    context.registry.EraseRecord(info, [&] { context.log.Emit(refusal, LogSeverity::kWarning); });
    it = snapshot.erase(it);
  }
}

void CollectDue(const TemplateSnapshot& snapshot, std::int64_t passTime, bool checkingSizes,
                DetectionLoopState& state) {
  state.due.clear();
  state.groups.clear();
  Evaluation plan;
  for (const TemplatePtr& info : snapshot) {
    if (!info || info->image.empty()) continue;
    // A template that waits for its size check is not captured: it fails like any capture.
    const bool planned =
        PlanCapture(*info, plan) && !AwaitsSizeCheck(*info, state, checkingSizes);
    RectangleMemory* memory = nullptr;
    if (planned) {
      DetectionLoopState::RectangleEntry& entry = state.rectangles[plan.captureRect];
      entry.watched = true;
      memory = &entry.memory;
    }
    DetectionLoopState::RecordEntry& record = state.records[info.get()];
    if (record.record.expired()) {
      // New, or a record that died and left its address to this one.
      record.record = info;
      record.memory = RecordMemory{};
    }
    record.watched = true;
    if (!IsDue(*info, passTime)) continue;

    DetectionLoopState::DueEntry entry{info.get(), state.groups.size(), &record.memory};
    if (planned) {
      for (std::size_t g = 0; g < state.groups.size(); ++g) {
        if (state.groups[g].memory != nullptr && state.groups[g].rect == plan.captureRect) {
          entry.group = g;
          break;
        }
      }
    }
    // A rectangle that cannot be captured gets a group of its own (its evaluation fails before
    // capturing anything).
    if (entry.group == state.groups.size()) {
      state.groups.push_back({plan.captureRect, info->windowOrigin, memory, false});
    }
    state.due.push_back(entry);
  }
}

void TakeScreenChanges(const DetectionContext& context, DetectionLoopState& state) {
  bool known = false;
  state.damaged.clear();
  if (context.damage) {
    try {
      known = context.damage(&state.damaged);
    } catch (...) {
      known = false;
    }
  }
  for (auto& [rect, entry] : state.rectangles) {
    if (entry.memory.dirty) continue;
    if (!known) {
      entry.memory.dirty = true;
      continue;
    }
    for (const IntRect& d : state.damaged) {
      if (Intersect(rect, d)) {
        entry.memory.dirty = true;
        break;
      }
    }
  }
}

void PlanGrabs(DetectionLoopState& state) {
  state.grabs.clear();
  std::vector<IntPoint> origins;
  std::vector<std::vector<std::size_t>> byOrigin;
  for (std::size_t g = 0; g < state.groups.size(); ++g) {
    DetectionLoopState::Group& group = state.groups[g];
    const bool read =
        group.memory != nullptr && (group.memory->dirty || group.memory->pixels.empty());
    if (!read) {
      group.captured = group.memory != nullptr && !group.memory->pixels.empty();
      continue;
    }
    group.captured = false;  // until its grab succeeds
    const auto at = std::find(origins.begin(), origins.end(), group.origin);
    if (at == origins.end()) {
      origins.push_back(group.origin);
      byOrigin.push_back({g});
    } else {
      byOrigin[static_cast<std::size_t>(at - origins.begin())].push_back(g);
    }
  }
  std::vector<IntRect> rects;
  std::vector<Grab> grabs;
  for (const std::vector<std::size_t>& members : byOrigin) {
    rects.clear();
    for (const std::size_t g : members) rects.push_back(state.groups[g].rect);
    PlanWindowGrabs(rects, grabs);
    for (const Grab& grab : grabs) {
      DetectionLoopState::GrabJob& job = state.grabs.emplace_back();
      job.box = grab.box;
      for (const std::size_t m : grab.members) job.groups.push_back(members[m]);
    }
  }
}

void PlanSlices(DetectionLoopState& state, int threads) {
  state.order.clear();
  state.slices.clear();
  std::vector<std::size_t> counts(state.groups.size(), 0);
  for (const DetectionLoopState::DueEntry& entry : state.due) ++counts[entry.group];
  std::vector<std::size_t> starts(state.groups.size(), 0);
  for (std::size_t g = 1; g < counts.size(); ++g) starts[g] = starts[g - 1] + counts[g - 1];
  state.order.resize(state.due.size());
  std::vector<std::size_t> next = starts;
  for (std::size_t i = 0; i < state.due.size(); ++i) state.order[next[state.due[i].group]++] = i;
  const auto width = static_cast<std::size_t>(std::max(threads, 1));
  for (std::size_t g = 0; g < counts.size(); ++g) {
    if (counts[g] == 0) continue;
    const std::size_t pieces =
        std::clamp<std::size_t>(counts[g] / kTemplatesPerSlice, std::size_t{1}, width);
    for (std::size_t p = 0; p < pieces; ++p) {
      const std::size_t begin = counts[g] * p / pieces;
      const std::size_t end = counts[g] * (p + 1) / pieces;
      state.slices.push_back({g, starts[g] + begin, end - begin});
    }
  }
}

}  // namespace tavrik
