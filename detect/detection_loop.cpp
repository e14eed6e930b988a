#include "detect/detection_loop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/numeric.h"
#include "detect/pass_jobs.h"
#include "detect/pass_memory.h"
#include "detect/pass_plan.h"

namespace tavrik {

DetectionLoopState::DetectionLoopState() = default;
DetectionLoopState::~DetectionLoopState() = default;
DetectionLoopState::DetectionLoopState(DetectionLoopState&&) noexcept = default;
DetectionLoopState& DetectionLoopState::operator=(DetectionLoopState&&) noexcept = default;

DetectionLoopState StartDetectionLoop(std::int64_t nowNs) {
  DetectionLoopState state;
  state.idleDeadline = nowNs + kIdleHeartbeatIntervalNs;
  return state;
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

namespace {

// Every outcome of the pass, on this thread and in snapshot order, so that a reader of the hit
// ring sees the same sequence whatever the number of threads.
void ReportPass(const DetectionContext& context, DetectionLoopState& state,
                std::int64_t passTime) {
  for (std::size_t i = 0; i < state.due.size(); ++i) {
    if (state.evaluated[i] == 0) continue;  // left out by a stop request: not reported at all
    TemplateInfo& info = *state.due[i].info;
    const bool errorLineDue = info.lastErrorLineTime == kNeverDecided ||
                              passTime - info.lastErrorLineTime >= kErrorLineIntervalNs;
    switch (ReportOutcome(state.outcomes[i], state.evaluations[i], info, state.errors[i],
                          context.log, context.writer,
                          errorLineDue ? ErrorLine::kWrite : ErrorLine::kSuppress)) {
      case EvaluationOutcome::kDecided:
        info.lastDecisionTime = passTime;
        break;
      case EvaluationOutcome::kError:
        // A template that fails every time waits for its cooldown like any other; only a failed
        // capture (the screen not readable for now) is retried in the next pass.
        info.lastDecisionTime = passTime;
        if (errorLineDue) info.lastErrorLineTime = passTime;
        break;
      case EvaluationOutcome::kCaptureFailed:
      case EvaluationOutcome::kStopped:
        break;
    }
  }
}

void IdlePass(DetectionContext& context, DetectionLoopState& state, const TemplateSnapshot& snapshot,
              std::int64_t passTime) {
  if (context.damage) {
    try {
      context.damage(nullptr);  // nothing to watch: the source may rest
    } catch (...) {
    }
  }
  RestWhenIdle(context, state, snapshot);
  if (passTime >= state.idleDeadline) {
    SendHeartbeat(context.writer, "IDLE");
    state.idleDeadline = passTime + kIdleHeartbeatIntervalNs;
  }
}

}  // namespace

void RunDetectionPass(DetectionContext& context, DetectionLoopState& state,
                      const std::function<std::int64_t()>& clock, std::stop_token stop) {
  TemplateSnapshot snapshot = context.registry.SnapshotTemplates();
  CheckUnsizedRegions(context, state, snapshot);
  if (std::string line = TemplateSetLine(snapshot, state.loggedTemplateList); !line.empty()) {
    context.log.Emit(line);
  }
  const std::int64_t passTime = clock();
  if (snapshot.empty()) return IdlePass(context, state, snapshot, passTime);

  // The pool's size, and of it the cores the other programs left free when the worker asks so.
  if (state.cores == 0) {
    state.cores = std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
  }
  state.poolSize = context.poolThreads > 0 ? context.poolThreads
                                           : PoolThreadsFor(static_cast<unsigned>(state.cores));
  const int threads = context.poolThreads <= 0 || context.onlyFreeCores
                          ? PassThreads(state.poolSize, state.cpuLoad.FreeCores(state.cores))
                          : state.poolSize;
  // Before anything is read: the buffers a removed record's rectangle grew go now, not after this
  // pass has used them.
  const bool released = ForgetRemovedRecords(snapshot, state);
  const std::uint64_t preparedBefore = state.cache->Preparations();
  // Due templates and what must be read, then grabs, region tiles and scores, decisions; then the
  // reports in snapshot order, and what the pass leaves behind.
  CollectDue(snapshot, passTime, context.screenBounds != nullptr, state);
  // In every busy pass, also when nothing is due: the rectangles' dirty marks keep what was drawn
  // until their templates are due, while the source's own backlog (X11: one event per drawing,
  // queued in the server and then in this process) never outgrows one pass of drawing.
  TakeScreenChanges(context, state);
  PlanGrabs(state);
  RunGrabs(context, state, threads, stop);
  RunMatching(context, state, threads, stop);
  RunSlices(context, state, threads, stop);
  ReportPass(context, state, passTime);
  state.idleDeadline = passTime + kIdleHeartbeatIntervalNs;
  KeepAfterPass(state, released || state.cache->Preparations() != preparedBefore);
}

void RunDetectionLoop(DetectionContext& context, std::stop_token stop) {
  DetectionLoopState state = StartDetectionLoop(MonotonicNowNs());
  std::mutex pauseMutex;
  std::condition_variable_any pause;
  while (!stop.stop_requested()) {
    RunDetectionPass(context, state, MonotonicNowNs, stop);
    // The pause between passes ends early on a stop request.
    std::unique_lock<std::mutex> lock(pauseMutex);
    pause.wait_for(lock, stop, std::chrono::milliseconds(kPassPauseMs), [] { return false; });
  }
}

}  // namespace tavrik
