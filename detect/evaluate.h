// One template's turn in a detection pass: capture its region, score it, measure the colour of
// the best-matching spot, decide, and report.
//
// EvaluateTemplate is the whole turn for the DetectionLoop; the loop keeps the due test and the
// lastDecisionTime stamp. The steps it is made of are exposed separately so that a tool can run
// the same evaluation on an image it already has (PlanCapture + EvaluateRegion + the report
// functions) without a second copy of the logic.
//
// Two faults are contained here rather than left to end the process:
//  - The capture rectangle is windowOrigin + rawRoi, computed in 64 bits. A rectangle whose
//    corner or far edge lies outside the int32 range cannot be captured and is reported like any
//    other failed capture.
//  - Any exception thrown while evaluating one template (an OpenCV error, std::bad_alloc, ...)
//    abandons that template only: one "[MISS] <name> reason=error roi=(...) what=<message>" line
//    is composed (unless the caller suppresses it), nothing is published, and the outcome is
//    kError. The loop stamps lastDecisionTime for it as for a decision, so a template that fails
//    every time is retried once per cooldown, not in every pass, and it writes at most one error
//    line a second.
//
// Threads: DetectionLoop's thread (or a tool's single thread). The template is only read.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core/mat.hpp>

#include "base/log_sink.h"
#include "detect/evaluation.h"
#include "ipc/hit_ring.h"
#include "registry/template_info.h"

namespace tavrik {

// A screen source: an 8-bit BGR image of exactly width x height, or an empty image on failure.
using CaptureFunction =
    std::function<cv::Mat(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height)>;

enum class EvaluationOutcome {
  kDecided,        // decided and reported: the loop stamps lastDecisionTime
  kCaptureFailed,  // capture-failure line only; not stamped, retried next pass
  kError,          // an exception was contained; error line only; stamped like a decision
};

// Whether a contained error is reported by its line; the loop limits those lines per template.
enum class ErrorLine { kWrite, kSuppress };

// Fills the capture geometry: captureRect (windowOrigin + rawRoi), invScale, scaled and
// screenRoi. Returns false when the rectangle leaves the int32 range; captureRect then holds the
// corner saturated to int32 so that the failure line still says where it was meant to be.
bool PlanCapture(const TemplateInfo& info, Evaluation& evaluation);

// With evaluation.captured set: match, baseline, raw, matchRect, the spot colour, then the
// decision. Exceptions from OpenCV propagate.
void EvaluateRegion(Evaluation& evaluation, const TemplateInfo& info);

// The whole turn, reading the screen through `capture` (an empty function is a failed capture).
// `record`, when given, receives the evaluation as far as it got. Never throws.
EvaluationOutcome EvaluateTemplate(const TemplateInfo& info, const LogSink& log,
                                   HitRingWriter* writer, const CaptureFunction& capture,
                                   Evaluation* record = nullptr,
                                   ErrorLine errorLine = ErrorLine::kWrite) noexcept;

}  // namespace tavrik
