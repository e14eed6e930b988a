// X11 capture with a chosen transfer path, for tests and the benchmark that compare MIT-SHM with
// plain GetImage in one run. CaptureScreenRegion is the same as kAuto. Same thread rules as
// CaptureScreenRegion: each calling thread uses its own connection.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>

namespace tavrik::x11 {

enum class CaptureMethod {
  kAuto,      // MIT-SHM when the server shares memory with us, GetImage otherwise
  kShm,       // MIT-SHM only; empty image when it is unavailable
  kGetImage,  // plain GetImage, pixels travel through the socket
};

cv::Mat CaptureScreenRegionUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                 std::int32_t width, std::int32_t height);

// CaptureScreenRegionInto (BGRA into a reused image) with a chosen transfer path.
bool CaptureScreenRegionIntoUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                  std::int32_t width, std::int32_t height, cv::Mat& image);

// CaptureScreenRegionView with a chosen transfer path (only kAuto and kShm can give a view).
bool CaptureScreenRegionViewUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                  std::int32_t width, std::int32_t height, cv::Mat& image);

}  // namespace tavrik::x11
