// The DetectionLoop: the main thread's work for the life of the process.
//
// Each pass snapshots the registry, reports changes of the registered set of names, and then
// either sends an "IDLE" heartbeat every 5 s (nothing registered) or evaluates every template
// whose cooldown has passed. A pass ends with a 50 ms pause.
//
// Reading the screen: the due rectangles that may have changed (all of them without a
// DamageSource) are read, those of one window with one grab of their bounding box when it is
// compact (detect/grab_plan.h), and each rectangle's pixels are compared with its previous ones;
// a template whose rectangle shows the same pixels as at its last evaluation keeps that match
// and spot colour. The others of a rectangle are matched together, its tiles transformed once
// for all of them (match/matcher.h, RegionWork), the tiles shared out among the pool's threads.
// Every due template is still decided and reported, in snapshot order.
//
// Memory: the prepared spectra within the MatchCache's budget, a template's matching within the
// budget held at add (detect/match_budget.h); the files of the pass say who owns the rest
// (detect/pass_memory.h).
//
// A template added while the screen's size was unknown is not captured until a pass knows the
// size (its evaluation reports a failed capture meanwhile); then a region larger than the screen
// is refused with the add command's "[Spec] Refused template" line and leaves the registry.
//
// The remembered pixels (one RectangleMemory per distinct watched rectangle) stay within
// kPixelBudgetBytes (detect/pixel_budget.h): the budget is enforced at add, where a template whose
// new rectangle would pass it is refused, so the loop itself never has to drop a watched rectangle.
// Beyond it each evaluating thread holds one grab buffer, at most the screen.
//
// An evaluation that ended in a contained error counts as decided for the cooldown, and its error
// line is written at most once a second per template.
//
// Threads: main thread only. It shares the registry (through SnapshotTemplates) and the hit ring
// (HitRingWriter serialises itself) with the CommandThread; it is the only reader and writer of
// TemplateInfo::lastDecisionTime.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "detect/evaluation_pool.h"
#include "detect/loop_state.h"
#include "registry/template_registry.h"

namespace tavrik {

inline constexpr std::int64_t kIdleHeartbeatIntervalNs = 5'000'000'000;
inline constexpr std::int64_t kPassPauseMs = 50;
// The shortest interval between two error lines of one template.
inline constexpr std::int64_t kErrorLineIntervalNs = 1'000'000'000;

// Loop start: the first "IDLE" heartbeat is due 5 s after `nowNs`.
DetectionLoopState StartDetectionLoop(std::int64_t nowNs);

// The template-set line for a snapshot, or "" when the set of names is unchanged. Updates
// `loggedTemplateList`. Pure apart from the state it is given.
std::string TemplateSetLine(const TemplateSnapshot& snapshot, std::string& loggedTemplateList);

// True when a template may be evaluated at `passTimeNs`.
bool IsDue(const TemplateInfo& info, std::int64_t passTimeNs);

// The memory the detection holds between passes: the cache's prepared templates, the threads'
// workspaces, their regions' derived data and their capture buffers.
std::size_t DetectionBytes(const DetectionLoopState& state);

// One pass without its closing pause. `passTimeNs` is read from `clock` after the snapshot and
// the template-set line. Once `stop` is requested (from any thread), no further evaluation of
// the pass begins, on this thread or on the pool's: the pass reports, in snapshot order, only
// the evaluations that ran, and the templates left out are neither reported nor stamped.
void RunDetectionPass(DetectionContext& context, DetectionLoopState& state,
                      const std::function<std::int64_t()>& clock, std::stop_token stop = {});

// Passes 50 ms apart until `stop` is requested (POSIX: SIGTERM or SIGINT; never on Windows).
// A request ends the loop after the evaluation in progress, and it cuts the pause short.
void RunDetectionLoop(DetectionContext& context, std::stop_token stop = {});

}  // namespace tavrik
