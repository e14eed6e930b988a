// Reading the display's DPI from the X resource database string (the RESOURCE_MANAGER property
// of the root window, as written by xrdb and desktop settings daemons). Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrik {

// The value of the "Xft.dpi" resource, rounded to the nearest integer, or empty when the resource
// is absent, not a number, or not positive. Resource lines look like "Xft.dpi:\t120".
std::optional<std::int32_t> ParseXftDpi(std::string_view resources);

}  // namespace tavrik
