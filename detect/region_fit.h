// Whether a template's region fits the screen, and the line that refuses one that does not. The
// add command holds a region against the screen when the screen's size is known then; the
// DetectionLoop does it at its first pass that knows the size, for templates added without one.
// Both refuse with the same line.
//
// Threads: pure; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "base/geometry.h"

namespace tavrik {

// "" when a region of width x height fits on `screen`; otherwise the "[Spec] Refused template"
// line for the template `name`.
std::string RegionFitRefusal(const std::string& name, std::int32_t width, std::int32_t height,
                             const IntRect& screen);

}  // namespace tavrik
