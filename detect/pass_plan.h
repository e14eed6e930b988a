// Planning one pass of the DetectionLoop: the regions checked against the screen, the set of
// names said when it changes (TemplateSetLine, detect/detection_loop.h), which templates are due
// and on which rectangles, what the screen's changes leave to be read, and how it is read (grabs).
//
// Threads: the DetectionLoop's thread, between the pool's runs.
#pragma once

#include <cstdint>

#include "detect/loop_state.h"
#include "registry/template_registry.h"

namespace tavrik {

// Templates added while the screen's size was unknown are held against it at the first pass that
// knows it, before anything is captured for them: a region larger than the screen is refused
// with the add's line and leaves the registry (unless a newer registration of the name has
// replaced it) and this pass's snapshot. The size is asked only while such a template waits.
void CheckUnsizedRegions(const DetectionContext& context, DetectionLoopState& state,
                         TemplateSnapshot& snapshot);

// The due templates of a pass in snapshot order, each with the index of its capture rectangle:
// templates that watch the same rectangle share one capture. Marks the rectangles and records of
// the whole snapshot (due or not) as still watched, creating their memory entries here, on the
// loop's thread, so that the pool's threads only use them.
void CollectDue(const TemplateSnapshot& snapshot, std::int64_t passTime, bool checkingSizes,
                DetectionLoopState& state);

// Marks the remembered rectangles that the screen's changes touch (all of them when the changes
// are unknown). Called before any grab of the pass: what is drawn from here on is in the next
// answer.
void TakeScreenChanges(const DetectionContext& context, DetectionLoopState& state);

// The pass's grabs: the groups that must be read, in grabs per window (detect/grab_plan.h). The
// groups that are not read keep their remembered pixels (`captured` when they have some).
void PlanGrabs(DetectionLoopState& state);

}  // namespace tavrik
