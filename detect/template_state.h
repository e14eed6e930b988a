// The DetectionState that detect/ keeps with each TemplateInfo (registry/template_info.h): the
// previous capture with the outcome that was decided for it, so that an unchanged region is not
// matched again.
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
  // The last decided evaluation: its captured pixels (own copy) and its stage-1/2 results.
  bool haveLast = false;
  cv::Mat lastPixels;
  Evaluation last;
};

// The record's state, created on first use.
TemplateDetectionState& DetectionStateOf(const TemplateInfo& info);

}  // namespace tavrik
