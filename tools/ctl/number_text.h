// Strict number parsing for tavrik-ctl's options: the whole text must be the number (an optional
// leading '+' allowed), with no blanks, suffixes or out-of-range values. Pure; header-only so that
// both the ring verbs and the probe use it without depending on each other. Safe from any thread.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <system_error>

namespace tavrik::ctl {

inline bool ParseInt32(std::string_view text, std::int32_t& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

// A finite float; NaN and infinities are refused.
inline bool ParseFiniteFloat(std::string_view text, float& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  float value = 0.0f;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return false;
  }
  out = value;
  return true;
}

// Four comma-separated int32 values "X,Y,W,H" (no range check on the sizes).
inline bool ParseFourInt32(std::string_view text, std::int32_t (&values)[4]) {
  for (int i = 0; i < 4; ++i) {
    const std::size_t comma = text.find(',');
    const bool last = i == 3;
    if (last != (comma == std::string_view::npos)) return false;
    if (!ParseInt32(last ? text : text.substr(0, comma), values[i])) return false;
    if (!last) text.remove_prefix(comma + 1);
  }
  return true;
}

}  // namespace tavrik::ctl
