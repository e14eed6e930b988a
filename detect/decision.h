// The hit decision: turns the match score and the colour of the best-matching spot into a final
// score, a hit-or-miss decision and, for a miss, its reason.
//
// The colour terms are computed on hue and saturation that are already normalised to [0, 1] and
// are divided once more by 180 and 255. This keeps every colour penalty small (the hue term never
// exceeds 1/180) and users' thresholds have been tuned against exactly these values, so the
// double scaling is deliberate and must stay.
//
// Threads: pure; no state, no lock, no clock. Safe from any thread.
#pragma once

#include "detect/evaluation.h"
#include "registry/template_info.h"

namespace tavrik {

// Reads raw, baseline and the spot colour of `evaluation` and the template's kind, thresholds and
// reference colour; writes colorPen, whitePatch, satAdj, score, adj, marginOk, hit, reason.
void Decide(Evaluation& evaluation, const TemplateInfo& info);

}  // namespace tavrik
