// The scene tavrik-pattern.exe (the Windows test target) paints: the pattern of pattern.h with,
// in the first variant, a badge of fixed pseudo-random colours that a template can be cut from
// and found at exactly one place. The second variant drops the badge, so a template cut from it
// stops matching once the window is switched.
#pragma once

#include <cstdint>

#include "tests/capture/pattern.h"

namespace tavrik::test {

inline constexpr int kBadgeX = 150;  // client-area position and size of the badge
inline constexpr int kBadgeY = 100;
inline constexpr int kBadgeWidth = 48;
inline constexpr int kBadgeHeight = 36;

// Colour of client pixel (col, row) in scene `variant` (0 with the badge, 1 without).
inline PatternBgr ScenePixel(int variant, int col, int row) {
  const bool inBadge = variant == 0 && col >= kBadgeX && col < kBadgeX + kBadgeWidth &&
                       row >= kBadgeY && row < kBadgeY + kBadgeHeight;
  if (!inBadge) return PatternPixel(0, col, row);
  // A small integer hash: neighbouring pixels differ widely, so the badge has one best match.
  std::uint32_t h =
      static_cast<std::uint32_t>(col * 73856093) ^ static_cast<std::uint32_t>(row * 19349663);
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return PatternBgr{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8),
                    static_cast<std::uint8_t>(h >> 16)};
}

}  // namespace tavrik::test
