// Copying one rectangle of the screen into a new 8-bit BGR image.
//
// Backends: screen_capture_win.cpp (GDI BitBlt + GetDIBits) and screen_capture_x11.cpp (MIT-SHM
// with a reused segment, plain GetImage as the fallback). Parts of the rectangle outside the
// screen come out black, so a non-empty result always has exactly width x height pixels.
//
// Threads: called on the DetectionLoop's thread (the main thread), ScreenBounds also on the
// CommandThread. The X11 backend keeps a connection for each calling thread.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <optional>

#include "base/geometry.h"

namespace tavrik {

// Regions above this many pixels are refused (an empty image) instead of allocating gigabytes for
// a nonsensical region of interest. 2^26 pixels is 8192 x 8192, far beyond any monitor.
inline constexpr std::int64_t kMaxCapturePixels = std::int64_t{1} << 26;

// True when a capture of width x height is worth attempting: both at least 1 and the pixel count
// within kMaxCapturePixels. Pure.
bool CaptureSizeAcceptable(std::int32_t width, std::int32_t height);

// An owned CV_8UC3 image of height rows by width columns, row 0 at the top, or an empty image
// when the size is unacceptable or the screen cannot be read at all.
cv::Mat CaptureScreenRegion(std::int32_t x, std::int32_t y, std::int32_t width,
                            std::int32_t height);

// The same rectangle as 4-byte BGRA pixels (the fourth byte is whatever the server keeps there)
// written into `image`, which is reused when it already is CV_8UC4 of that size: the only copy
// of the pixels is the one out of the server. False (with `image` unspecified) on failure. This is
// the DetectionLoop's screen source; the matcher reads the 4-byte pixels directly.
bool CaptureScreenRegionInto(std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, cv::Mat& image);

// CaptureScreenRegionInto without the copy where the transport allows it: when the server's
// pixels already are BGRA in the calling thread's MIT-SHM segment and the rectangle is wholly on
// the screen, `image` becomes a read-only view of that segment, valid until the calling thread's
// next capture. Otherwise the pixels are copied into `image` as CaptureScreenRegionInto does.
// X11: SIGPIPE stays blocked on the calling thread from its first call on (see
// KeepSigpipeBlocked in x11_connection.h). Windows: CaptureScreenRegionInto.
bool CaptureScreenRegionView(std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, cv::Mat& image);

// Gives back what the calling thread's captures keep from one call to the next (X11: its MIT-SHM
// segment, sized by the largest capture so far); the next capture makes it again. Windows keeps
// nothing between captures.
void ReleaseThreadCaptureBuffers();

// The screen as it is now, in pixels: X11 the root window of the default screen (one round
// trip), Windows the virtual screen spanning every monitor (its corner may be negative). Nothing
// when no display can be reached.
std::optional<IntRect> ScreenBounds();

}  // namespace tavrik
