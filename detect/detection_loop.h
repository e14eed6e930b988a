// The DetectionLoop: the main thread's work for the life of the process.
//
// Each pass snapshots the registry, reports changes of the registered set of names, and then
// either sends an "IDLE" heartbeat every 5 s (nothing registered) or evaluates every template
// whose cooldown has passed. A pass ends with a 50 ms pause. An evaluation that ended in a
// contained error counts as decided for the cooldown, and its error line is written at most once
// a second per template.
//
// Threads: main thread only. It shares the registry (through SnapshotTemplates) and the hit ring
// (HitRingWriter serialises itself) with the CommandThread; it is the only reader and writer of
// TemplateInfo::lastDecisionTime.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "base/log_sink.h"
#include "detect/evaluate.h"
#include "ipc/hit_ring.h"
#include "registry/template_info.h"
#include "registry/template_registry.h"

namespace tavrik {

inline constexpr std::int64_t kIdleHeartbeatIntervalNs = 5'000'000'000;
inline constexpr std::int64_t kPassPauseMs = 50;
// The shortest interval between two error lines of one template.
inline constexpr std::int64_t kErrorLineIntervalNs = 1'000'000'000;

struct DetectionContext {
  TemplateRegistry& registry;
  HitRingWriter* writer = nullptr;
  const LogSink& log;
  CaptureFunction capture;  // CaptureScreenRegion unless a test injects another source
};

struct DetectionLoopState {
  std::int64_t idleDeadline = 0;
  std::string loggedTemplateList;
};

// Loop start: the first "IDLE" heartbeat is due 5 s after `nowNs`.
DetectionLoopState StartDetectionLoop(std::int64_t nowNs);

// The template-set line for a snapshot, or "" when the set of names is unchanged. Updates
// `loggedTemplateList`. Pure apart from the state it is given.
std::string TemplateSetLine(const TemplateSnapshot& snapshot, std::string& loggedTemplateList);

// True when a template may be evaluated at `passTimeNs`.
bool IsDue(const TemplateInfo& info, std::int64_t passTimeNs);

// One pass without its closing pause. `passTimeNs` is read from `clock` after the snapshot and
// the template-set line.
void RunDetectionPass(DetectionContext& context, DetectionLoopState& state,
                      const std::function<std::int64_t()>& clock);

// Passes for ever (until `stop` is requested, which the worker never does), 50 ms apart.
void RunDetectionLoop(DetectionContext& context, std::stop_token stop = {});

}  // namespace tavrik
