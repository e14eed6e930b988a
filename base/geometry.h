// Integer screen geometry shared by every layer: rectangles and points in pixels, and the DPI
// assumed when a display does not say. Plain values; safe from any thread.
#pragma once

#include <cstdint>

namespace tavrik {

struct IntRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const IntRect&, const IntRect&) = default;
};

struct IntPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const IntPoint&, const IntPoint&) = default;
};

// The DPI of a display that reports none, and of a template whose window was not found.
inline constexpr std::int32_t kDefaultDpi = 96;

}  // namespace tavrik
