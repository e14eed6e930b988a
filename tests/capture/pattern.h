// The picture tavrik-pattern-window paints, shared with the tests that check captures against it.
// Blue follows the column, green the row and red both, so a capture that is mirrored, transposed
// or has its channels swapped cannot match.
#pragma once

#include <cstdint>

namespace tavrik::test {

struct PatternBgr {
  std::uint8_t b;
  std::uint8_t g;
  std::uint8_t r;
};

// Colour of window-local pixel (col, row) of the `window`-th window of one pattern process.
inline PatternBgr PatternPixel(int window, int col, int row) {
  return PatternBgr{static_cast<std::uint8_t>((col * 5 + window * 64 + 1) & 0xff),
                    static_cast<std::uint8_t>((row * 3 + 7) & 0xff),
                    static_cast<std::uint8_t>(((col + 2 * row) * 7 + 100) & 0xff)};
}

}  // namespace tavrik::test
