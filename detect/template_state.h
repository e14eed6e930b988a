// The DetectionState that detect/ keeps with each TemplateInfo (registry/template_info.h): the
// template's prepared match for its region size. (What is reused when the screen does not change
// is the DetectionLoop's: RectangleMemory and RecordMemory in detect/evaluate.h.)
//
// Threads: only the thread evaluating the template touches it (the DetectionLoop's thread, a pool
// worker for the duration of one pass, or a tool's single thread).
#pragma once

#include <opencv2/core/mat.hpp>

#include "detect/evaluation.h"
#include "detect/matcher.h"
#include "registry/template_info.h"

namespace tavrik {

struct TemplateDetectionState final : DetectionState {
  PreparedMatch match;
};

// The record's state, created on first use.
TemplateDetectionState& DetectionStateOf(const TemplateInfo& info);

}  // namespace tavrik
