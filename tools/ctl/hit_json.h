// JSON rendering of hit-ring messages and ring headers for tavrik-ctl.
//
// Output is strict JSON: strings are escaped (quotes, backslash, control characters) and carried
// as UTF-8, floats are printed in their shortest form that reads back to the same float, and a
// value that is not finite becomes null.
//
// Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "ipc/ring_layout.h"

namespace tavrik::ctl {

// A JSON string literal (with its quotes) for UTF-8 text.
std::string JsonString(std::string_view utf8);
// The shortest decimal form that parses back to `value`; "null" for NaN and infinities.
std::string JsonFloat(float value);

// One object, keys in field order: timestampMs, posX, posY, roiWidth, roiHeight, isHit, score,
// threshold, baseline, name. No trailing newline.
std::string HitSlotToJson(const HitSlot& slot);

// {"writeIndex":..,"readIndex":..,"droppedCount":..,"headerReserved":..,"pending":..}
std::string RingHeaderToJson(const RingHeader& header);
// "writeIndex=.. readIndex=.. droppedCount=.. headerReserved=.. pending=.."
std::string RingHeaderToText(const RingHeader& header);

}  // namespace tavrik::ctl
