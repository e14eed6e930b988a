// Win32 backend of screen_changes.h: no change tracking; every answer is "unknown".
#include "capture/screen_changes.h"

namespace tavrik {

struct ScreenChanges::Impl {};

ScreenChanges::ScreenChanges() = default;
ScreenChanges::~ScreenChanges() = default;

bool ScreenChanges::Take(std::vector<IntRect>& damaged) noexcept {
  damaged.clear();
  return false;
}

void ScreenChanges::Pause() noexcept {}

}  // namespace tavrik
