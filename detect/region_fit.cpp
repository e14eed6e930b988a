#include "detect/region_fit.h"

#include "base/numeric.h"

namespace tavrik {

std::string RegionFitRefusal(const std::string& name, std::int32_t width, std::int32_t height,
                             const IntRect& screen) {
  if (width <= screen.width && height <= screen.height) return {};
  return (LineText() << "[Spec] Refused template '" << name << "': region " << width << "x"
                     << height << " is larger than the screen " << screen.width << "x"
                     << screen.height)
      .str();
}

}  // namespace tavrik
