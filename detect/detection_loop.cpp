#include "detect/detection_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/numeric.h"

namespace tavrik {

DetectionLoopState StartDetectionLoop(std::int64_t nowNs) {
  DetectionLoopState state;
  state.idleDeadline = nowNs + kIdleHeartbeatIntervalNs;
  return state;
}

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

bool IsDue(const TemplateInfo& info, std::int64_t passTimeNs) {
  if (info.cooldownMs <= 0 || info.lastDecisionTime == kNeverDecided) return true;
  // Both terms are bounded (cooldown from an int32, times from one steady clock), but compute in
  // a way that cannot overflow whatever a record holds.
  const std::int64_t elapsed = passTimeNs - info.lastDecisionTime;
  const std::int64_t cooldownNs =
      info.cooldownMs > INT64_MAX / kNsPerMs ? INT64_MAX : info.cooldownMs * kNsPerMs;
  return elapsed >= cooldownNs;
}

void RunDetectionPass(DetectionContext& context, DetectionLoopState& state,
                      const std::function<std::int64_t()>& clock) {
  TemplateSnapshot snapshot = context.registry.SnapshotTemplates();
  if (std::string line = TemplateSetLine(snapshot, state.loggedTemplateList); !line.empty()) {
    context.log.Emit(line);
  }
  const std::int64_t passTime = clock();
  if (snapshot.empty()) {
    if (passTime >= state.idleDeadline) {
      SendHeartbeat(context.writer, "IDLE");
      state.idleDeadline = passTime + kIdleHeartbeatIntervalNs;
    }
    return;
  }
  for (const TemplatePtr& info : snapshot) {
    if (!info || info->image.empty() || !IsDue(*info, passTime)) continue;
    const bool errorLineDue = info->lastErrorLineTime == kNeverDecided ||
                              passTime - info->lastErrorLineTime >= kErrorLineIntervalNs;
    switch (EvaluateTemplate(*info, context.log, context.writer, context.capture, nullptr,
                             errorLineDue ? ErrorLine::kWrite : ErrorLine::kSuppress)) {
      case EvaluationOutcome::kDecided:
        info->lastDecisionTime = passTime;
        break;
      case EvaluationOutcome::kError:
        // A template that fails every time waits for its cooldown like any other; only a failed
        // capture (the screen not readable for now) is retried in the next pass.
        info->lastDecisionTime = passTime;
        if (errorLineDue) info->lastErrorLineTime = passTime;
        break;
      case EvaluationOutcome::kCaptureFailed:
        break;
    }
  }
  state.idleDeadline = passTime + kIdleHeartbeatIntervalNs;
}

void RunDetectionLoop(DetectionContext& context, std::stop_token stop) {
  DetectionLoopState state = StartDetectionLoop(MonotonicNowNs());
  while (!stop.stop_requested()) {
    RunDetectionPass(context, state, MonotonicNowNs);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPassPauseMs));
  }
}

}  // namespace tavrik
