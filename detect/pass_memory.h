// What the DetectionLoop keeps between passes, and when it gives it back: the per-rectangle and
// per-record memory, the threads' buffers, and the release rules.
//
// Bounds: the prepared templates are within the MatchCache's budget (a stable subset, never
// evicted in cycles); each thread's workspace is bounded by the largest template the add command
// admits (match/tile_layout.h NeedFor); the remembered pixels by the pixel budget the add command
// holds them to. A removed template takes its memory with it, and an idle worker holds nothing of
// the detection.
//
// Threads: the DetectionLoop's thread, between the pool's runs.
#pragma once

#include <cstddef>

#include "detect/loop_state.h"
#include "registry/template_registry.h"

namespace tavrik {

// Records that left the registry take their prepared templates with them. The threads' buffers
// are sized by the largest rectangle they have seen, so they are released whenever a record
// leaves (a replaced name included) and regrown by the next pass to what the remaining templates
// need; records that only joined release nothing. True when something was released.
bool ForgetRemovedRecords(const TemplateSnapshot& snapshot, DetectionLoopState& state);

// Drops the memory of rectangles and records that the snapshot no longer has.
void ForgetUnwatched(DetectionLoopState& state);

// Gives grab buffers back once they have stayed mostly unused for a while.
void TrimGrabBuffers(DetectionLoopState& state);

// The memory the detection holds between passes: the cache's prepared templates, the threads'
// workspaces, their regions' derived data and their capture buffers.
std::size_t ThreadBytes(const DetectionLoopState::PassThread& thread);

// After a busy pass: the memory of rectangles and records the snapshot no longer has goes, grab
// buffers long mostly unused go, and freed heap goes back to the system when `freed` (records left,
// or templates were prepared: preparing leaves freed scratch between the kept spectra; rare, once
// per template or per pass for the few the cache cannot keep).
void KeepAfterPass(DetectionLoopState& state, bool freed);

// The same after a pass with nothing registered; when the last records have just gone, the
// helper threads end and take their buffers with them, and the caller's thread gives its own back
// (`releaseCapture`).
void RestWhenIdle(const DetectionContext& context, DetectionLoopState& state,
                  const TemplateSnapshot& snapshot);

}  // namespace tavrik
