#include "capture/screen_capture.h"

namespace tavrik {

bool CaptureSizeAcceptable(std::int32_t width, std::int32_t height) {
  if (width < 1 || height < 1) return false;
  // Both factors are below 2^31, so the product fits a signed 64-bit integer without overflow.
  return std::int64_t{width} * std::int64_t{height} <= kMaxCapturePixels;
}

}  // namespace tavrik
