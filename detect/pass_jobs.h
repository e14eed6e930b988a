// The work of one pass on the evaluation pool, in two runs: the grabs (each box read once, its
// rectangles remembered), then the scoring slices (per rectangle, the region's tiles transformed
// once for the slice's templates, each template's products and inverse transforms, its spot
// colour and its decision). Reporting stays with the loop, in snapshot order.
//
// A stop request is read between jobs and, inside the matching, between tiles: an evaluation cut
// short is kStopped and left out of the pass (neither reported nor stamped).
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

// Evaluates every due template by slices (PlanSlices): outcomes, evaluations and errors per due
// template, `evaluated` set for those that ran to an outcome.
void RunSlices(const DetectionContext& context, DetectionLoopState& state, int threads,
               std::stop_token stop);

}  // namespace tavrik
