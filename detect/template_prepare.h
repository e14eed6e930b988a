// Turning a decoded template image into a TemplateInfo ready for detection: the grey copy, the
// edge mask of kind "t2", the stored threshold and the template's own colour.
//
// This is the one preparation path. The add command runs it on every registered template, and
// tools that evaluate a template outside the worker (tavrik-ctl probe) run it too, so that what
// they measure is what the worker would measure. Window lookup, ROI and cooldown are the
// caller's: they depend on where the template is used, not on the image.
//
// Threads: any; the record is the caller's until it publishes it.
#pragma once

#include "registry/template_info.h"

namespace tavrik {

inline constexpr double kT2Threshold = 0.97;
inline constexpr double kDefaultThreshold = 0.9;

// The threshold stored for a template of kind `kind` whose add command asked for `requested`:
// 0.97 for t2 whatever was asked; otherwise `requested` when above 0 (NaN is not), else 0.9;
// clamped to 0..1 for t3 only.
double StoredThreshold(TemplateKindId kind, float requested);

// With `info.name` and `info.image` (8-bit BGR) set, fills the kind (kindKey, kind, knownKind,
// isT3), gray, edgeMask (kind t2 only), scale (1), baselineMargin (0), threshold, hueSat and lab.
// False when the image is too large to prepare (an OpenCV error or an allocation failure); `info`
// is then partly filled and must be dropped.
bool PrepareTemplate(TemplateInfo& info, float requestedThreshold);

}  // namespace tavrik
