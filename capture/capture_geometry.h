// Arithmetic shared by the capture backends: clipping a requested rectangle to the screen and
// turning packed server pixels into the 8-bit BGR image the detector reads. Pure; safe from any
// thread. Used by screen_capture_x11.cpp; kept free of display headers so it is tested everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <optional>

namespace tavrik {

// The part of a requested rectangle that lies on a screen of screenWidth x screenHeight at (0, 0):
// read `width` x `height` pixels from the screen at (srcX, srcY) and place them at (dstX, dstY)
// of the result. Width and height are 0 when nothing of the rectangle is on the screen.
struct CaptureClip {
  std::int32_t srcX = 0;
  std::int32_t srcY = 0;
  std::int32_t dstX = 0;
  std::int32_t dstY = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool Empty() const { return width <= 0 || height <= 0; }
};

// Overflow-safe for every int32 input (x + width may exceed the int32 range).
CaptureClip ClipToScreen(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                         std::int32_t screenWidth, std::int32_t screenHeight);

// Where blue, green and red sit inside one packed pixel of 3 or 4 bytes.
struct PackedPixelLayout {
  int bytesPerPixel = 4;
  int blue = 0;
  int green = 1;
  int red = 2;
};

// The layout of a TrueColor pixel with 8-bit channel masks, for 24 or 32 bits per pixel in the
// server's byte order. Empty for anything else (other depths, 5-6-5 masks, overlapping masks).
std::optional<PackedPixelLayout> PackedLayoutFor(int bitsPerPixel, bool lsbFirst,
                                                 std::uint32_t redMask, std::uint32_t greenMask,
                                                 std::uint32_t blueMask);

// Copies width x height packed pixels (rows `srcStride` bytes apart, top row first) into `dst`
// (CV_8UC3, BGR) with the top-left pixel at (dstX, dstY). The caller keeps the block inside dst.
void CopyPackedToBgr(const std::uint8_t* src, std::size_t srcStride, int width, int height,
                     const PackedPixelLayout& layout, cv::Mat& dst, int dstX, int dstY);

// The same into `dst` as CV_8UC4 BGRA. A little-endian x8r8g8b8 server's rows are copied as they
// are (its fourth byte included); other layouts are rearranged with alpha 255.
void CopyPackedToBgra(const std::uint8_t* src, std::size_t srcStride, int width, int height,
                      const PackedPixelLayout& layout, cv::Mat& dst, int dstX, int dstY);

// Bytes per row of a ZPixmap image: width * bitsPerPixel rounded up to scanlinePad bits.
std::size_t PackedRowStride(int width, int bitsPerPixel, int scanlinePad);

}  // namespace tavrik
