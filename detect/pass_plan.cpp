#include "detect/pass_plan.h"

#include <algorithm>
#include <optional>
#include <string>

#include "detect/detection_loop.h"
#include "base/numeric.h"
#include "detect/grab_plan.h"
#include "detect/region_fit.h"

namespace tavrik {
namespace {

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

std::string TemplateSetLine(const TemplateSnapshot& snapshot, std::string& loggedTemplateList) {
  if (snapshot.empty()) {
    if (loggedTemplateList.empty()) return {};
    loggedTemplateList.clear();
    return "[Loop] templates=0";
  }
  std::vector<std::string> names;
  names.reserve(snapshot.size());
  for (const TemplatePtr& info : snapshot) {
    if (info) names.push_back(info->name);
  }
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ',';
    list += name;
  }
  if (list == loggedTemplateList) return {};
  loggedTemplateList = list;
  return (LineText() << "[Loop] templates=" << names.size() << " [" << list << "]").str();
}

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

}  // namespace tavrik
