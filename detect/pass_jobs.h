// The work of one pass on the evaluation pool, in three runs: the grabs (each box read once, its
// rectangles remembered); the matching (every rectangle's RegionWork units, one tile each: the
// region's spectra made once for all the templates of the tile's geometry); and the slices (each
// template's spot colour and decision, or its whole evaluation when it was not matched with the
// others). Reporting stays with the loop, in snapshot order.
//
// The units are small and taken one at a time by whichever thread is free, so a helper that the
// system starves (it runs at idle priority) holds back at most one tile of the pass. A stop
// request is read between jobs, so between tiles too: an evaluation cut short is kStopped and
// left out of the pass (neither reported nor stamped).
//
// Threads: called on the DetectionLoop's thread; the jobs run on it and the pool's helpers, each
// touching only its PassThread and the groups and due templates it was handed.
#pragma once

#include <stop_token>

#include "detect/loop_state.h"

namespace tavrik {

// Reads every planned grab (PlanGrabs) and remembers its rectangles' pixels.
void RunGrabs(const DetectionContext& context, DetectionLoopState& state, int threads,
              std::stop_token stop);

// Matches the due templates that need it, rectangle by rectangle (scores and scored per due
// template); a rectangle whose units did not all run leaves its templates to RunSlices.
void RunMatching(const DetectionContext& context, DetectionLoopState& state, int threads,
                 std::stop_token stop);

// Evaluates every due template by slices (PlanSlices): outcomes, evaluations and errors per due
// template, `evaluated` set for those that ran to an outcome.
void RunSlices(const DetectionContext& context, DetectionLoopState& state, int threads,
               std::stop_token stop);

}  // namespace tavrik
