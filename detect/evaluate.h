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

#include <atomic>
#include <cstdint>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <stop_token>
#include <string>

#include "base/log_sink.h"
#include "detect/color_metrics.h"
#include "detect/evaluation.h"
#include "match/match_cache.h"
#include "match/matcher.h"
#include "match/transform.h"
#include "ipc/hit_ring.h"
#include "registry/template_info.h"

namespace tavrik {

// A screen source: fills `image` (the caller's, reused from call to call, so a source that keeps
// its size allocates nothing) with exactly width x height 8-bit pixels, BGRA (CV_8UC4, the fourth
// byte is ignored) or BGR (CV_8UC3). It may instead point `image` at pixels of its own that stay
// unchanged until its next call on the same thread (CaptureScreenRegionView). False (or an empty
// image) is a failed capture.
using CaptureFunction = std::function<bool(std::int32_t x, std::int32_t y, std::int32_t width,
                                           std::int32_t height, cv::Mat& image)>;

// A source that returns a new image (empty on failure), as tests and tools write them.
using ImageSource =
    std::function<cv::Mat(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height)>;
CaptureFunction FromImageSource(ImageSource source);

// One captured rectangle of a pass, shared by every template that watches it: captured once, and
// its grey plane made once (RegionPixels). Each evaluating thread keeps one and reuses its
// buffers from rectangle to rectangle and pass to pass. The DetectionLoop fills it itself
// (attempted, ok, pixels, region, generation) from its grabs.
struct SharedCapture {
  IntRect rect;
  bool attempted = false;  // the capture was tried in this pass
  bool ok = false;         // and succeeded
  cv::Mat pixels;          // offered to the screen source as a BGRA view of `storage`
  cv::Mat storage;         // grown, never shrunk: rectangles of any size reuse it
  RegionPixels region;
  // With a RectangleMemory behind the pixels: its generation for them (see RecordMemory).
  bool remembered = false;
  std::uint64_t generation = 0;

  // Also lets go of the pixels, which may be a view into a grab buffer or a remembered
  // rectangle: kept here, they would keep that memory alive after its owner released it.
  void Forget() {
    attempted = false;
    ok = false;
    remembered = false;
    pixels.release();
    region.Reset(cv::Mat());
  }
};

// The DetectionLoop's memory of one capture rectangle: its last pixels, once, whatever the
// number of templates that watch it. In a pass only the thread evaluating the rectangle touches
// it.
struct RectangleMemory {
  cv::Mat pixels;                // own copy (BGRA) of the last pixels read, empty before the first
  std::uint64_t generation = 0;  // changes whenever `pixels` change
  bool dirty = true;             // the screen may have been drawn on here since `pixels` were read

  // Takes `latest` (8-bit BGRA or BGR) as the rectangle's pixels. True when they differ byte for
  // byte from the remembered ones (or there were none): then they are copied and the generation
  // moves on. Unchanged pixels are neither copied nor counted as new.
  bool Remember(const cv::Mat& latest);
};

// The DetectionLoop's memory of one template record: the match and the spot colour of its last
// evaluation, and the rectangle and pixel generation they were computed from. In a pass only the
// thread evaluating the record touches it.
struct RecordMemory {
  bool valid = false;
  IntRect rect;
  std::uint64_t generation = 0;
  Evaluation result;  // stage 1 only (match, baseline, raw, matchRect, spot colour)
  // The MatchCache could not keep its prepared spectra: it is matched alone, prepared for the use,
  // until the set of records changes and there may be room again.
  bool unkept = false;
};

// How often the matching ran and how often a remembered result was taken instead (tests and
// benchmarks read them; the loop's threads add to them).
struct ReuseCounters {
  std::atomic<std::uint64_t> matched{0};
  std::atomic<std::uint64_t> reused{0};
};

// Where one thread evaluates: its workspace and the transform the worker was configured with.
struct EvaluationEngine {
  MatchWorkspace* workspace = nullptr;  // null: the calling thread's own
  TransformKind kind = DefaultTransformKind();
  MatchCache* cache = nullptr;  // the loop's prepared templates; null: prepared per evaluation
  SpotScratch* spot = nullptr;  // the spot colour's conversion buffers; null: the thread's own
  std::stop_token stop = {};    // read between tiles: a stopped evaluation is kStopped
  const MatchScore* prescored = nullptr;  // the match, when the caller scored it already
};

enum class EvaluationOutcome {
  kDecided,        // decided and reported: the loop stamps lastDecisionTime
  kCaptureFailed,  // capture-failure line only; not stamped, retried next pass
  kError,          // an exception was contained; error line only; stamped like a decision
  kStopped,        // a stop request cut it short: neither reported nor stamped
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

// The same on a region shared with other templates (its derived planes are made once).
void EvaluateSharedRegion(Evaluation& evaluation, const TemplateInfo& info, RegionPixels& region,
                          const EvaluationEngine& engine);

// EvaluateSharedRegion for pixels of `generation` of a remembered rectangle: when `memory` holds
// this record's result for that generation of the same rectangle, the match and the spot colour
// are taken from it (no matching); otherwise they are computed and remembered. The decision is
// made again either way. `counters`, when given, counts which of the two happened.
void EvaluateRememberedRegion(Evaluation& evaluation, const TemplateInfo& info,
                              RegionPixels& region, const EvaluationEngine& engine,
                              std::uint64_t generation, RecordMemory& memory,
                              ReuseCounters* counters = nullptr);

// The evaluation half of EvaluateTemplate: everything up to the decision, nothing composed or
// published. With `memory` and a `shared` capture that is remembered, EvaluateRememberedRegion
// is used. On kError, `error` holds the message. Never throws.
EvaluationOutcome RunEvaluation(const TemplateInfo& info, const CaptureFunction& capture,
                                SharedCapture& shared, const EvaluationEngine& engine,
                                Evaluation& evaluation, std::string& error,
                                RecordMemory* memory = nullptr,
                                ReuseCounters* counters = nullptr) noexcept;

// The reporting half: the capture-failure line, the decision line and HitSlot, or the error
// line (unless `errorLine` suppresses it), as EvaluateTemplate composes them. Returns the final
// outcome: kError when reporting a decision failed (the error line is then composed instead).
// Never throws.
EvaluationOutcome ReportOutcome(EvaluationOutcome outcome, Evaluation& evaluation,
                                const TemplateInfo& info, const std::string& error,
                                const LogSink& log, HitRingWriter* writer,
                                ErrorLine errorLine = ErrorLine::kWrite) noexcept;

// The whole turn, reading the screen through `capture` (an empty function is a failed capture).
// `record`, when given, receives the evaluation as far as it got. Never throws.
EvaluationOutcome EvaluateTemplate(const TemplateInfo& info, const LogSink& log,
                                   HitRingWriter* writer, const CaptureFunction& capture,
                                   Evaluation* record = nullptr,
                                   ErrorLine errorLine = ErrorLine::kWrite) noexcept;

}  // namespace tavrik
