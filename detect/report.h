// Reporting one evaluation: the positions the peer receives, the "[HIT] " / "[MISS] " line, the
// capture-failure line and the HitSlot.
//
// Line composition is pure and returns the whole line, so that lines can be checked character
// for character. Numbers, points and rectangles take the one text form of base/numeric.h, and
// names and messages its line escape.
//
// Positions are computed in 64 bits and saturated to the int32 range of the HitSlot, so that an
// extreme ROI or scale yields clamped coordinates instead of overflow.
//
// Threads: the pure functions are safe anywhere. ReportDecision is called on the DetectionLoop's
// thread; the HitRingWriter serialises its own publishing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/log_sink.h"
#include "detect/evaluation.h"
#include "ipc/hit_ring.h"
#include "registry/template_info.h"

namespace tavrik {

// Fills pos, rawPos, abs, rawAbs and displayName from the match location, the geometry of the
// evaluation and the template's roi, rawRoi and name.
void ComputeReportPositions(Evaluation& evaluation, const TemplateInfo& info);

// "[HIT] name score=... pos=(x,y) [rawPos=(x,y)] abs=(x,y) [rawAbs=(x,y)] roi=(x,y,wxh)
//  [rawRoi=(x,y,wxh)] baseline=... adj=... [reason=... minAdj=... threshold=...] raw=...
//  satAdj=... colorPen=..." (one line; bracketed keys appear when scaled / for a miss).
std::string ComposeDecisionLine(const Evaluation& evaluation, const TemplateInfo& info);

// "[MISS] name reason=captureFailed roi=(x,y,wxh)" plus " rawRoi=(x,y,wxh)" when scaled.
std::string ComposeCaptureFailureLine(std::string_view name, const IntRect& screenRoi,
                                      const IntRect& captureRect, bool scaled);

// "[MISS] name reason=error roi=(x,y,wxh) what=<message>" for an evaluation that was abandoned
// because of an unexpected error (an OpenCV error, an allocation failure). Trailing blanks and
// line breaks of the message are dropped; the rest is escaped like every text of a line.
std::string ComposeErrorLine(std::string_view name, const IntRect& screenRoi,
                             std::string_view what);

// The HitSlot contents of a decided evaluation (displayName travels separately).
HitMessage BuildHitMessage(const Evaluation& evaluation, const TemplateInfo& info);

// Reports a decided evaluation: computes the positions, reads the wall-clock time stamp, hands the
// decision line to `log`, then publishes one HitSlot when `writer` is present and ready (a missing
// or unready writer publishes and counts nothing).
void ReportDecision(Evaluation& evaluation, const TemplateInfo& info, const LogSink& log,
                    HitRingWriter* writer);

}  // namespace tavrik
