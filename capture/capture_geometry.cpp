#include "capture/capture_geometry.h"

#include <algorithm>
#include <cstring>
#include <opencv2/imgproc.hpp>

namespace tavrik {

CaptureClip ClipToScreen(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                         std::int32_t screenWidth, std::int32_t screenHeight) {
  CaptureClip clip;
  if (width < 1 || height < 1 || screenWidth < 1 || screenHeight < 1) return clip;
  const std::int64_t left = std::max<std::int64_t>(x, 0);
  const std::int64_t top = std::max<std::int64_t>(y, 0);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{x} + width, screenWidth);
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{y} + height, screenHeight);
  if (right <= left || bottom <= top) return clip;
  clip.srcX = static_cast<std::int32_t>(left);
  clip.srcY = static_cast<std::int32_t>(top);
  clip.dstX = static_cast<std::int32_t>(left - x);
  clip.dstY = static_cast<std::int32_t>(top - y);
  clip.width = static_cast<std::int32_t>(right - left);
  clip.height = static_cast<std::int32_t>(bottom - top);
  return clip;
}

namespace {

// Index of the byte that holds an 8-bit mask inside a pixel of `bytes` bytes, or -1.
int MaskByte(std::uint32_t mask, int bytes, bool lsbFirst) {
  for (int shift = 0; shift < bytes * 8; shift += 8) {
    if (mask == (std::uint32_t{0xff} << shift)) {
      const int lsbIndex = shift / 8;
      return lsbFirst ? lsbIndex : bytes - 1 - lsbIndex;
    }
  }
  return -1;
}

}  // namespace

std::optional<PackedPixelLayout> PackedLayoutFor(int bitsPerPixel, bool lsbFirst,
                                                 std::uint32_t redMask, std::uint32_t greenMask,
                                                 std::uint32_t blueMask) {
  if (bitsPerPixel != 24 && bitsPerPixel != 32) return std::nullopt;
  PackedPixelLayout layout;
  layout.bytesPerPixel = bitsPerPixel / 8;
  layout.blue = MaskByte(blueMask, layout.bytesPerPixel, lsbFirst);
  layout.green = MaskByte(greenMask, layout.bytesPerPixel, lsbFirst);
  layout.red = MaskByte(redMask, layout.bytesPerPixel, lsbFirst);
  if (layout.blue < 0 || layout.green < 0 || layout.red < 0) return std::nullopt;
  if (layout.blue == layout.green || layout.green == layout.red || layout.blue == layout.red) {
    return std::nullopt;
  }
  return layout;
}

void CopyPackedToBgr(const std::uint8_t* src, std::size_t srcStride, int width, int height,
                     const PackedPixelLayout& layout, cv::Mat& dst, int dstX, int dstY) {
  if (width <= 0 || height <= 0) return;
  cv::Mat target = dst(cv::Rect(dstX, dstY, width, height));
  if (layout.bytesPerPixel == 4 && layout.blue == 0 && layout.green == 1 && layout.red == 2) {
    // The common little-endian x8r8g8b8 server: one vectorised channel drop.
    const cv::Mat packed(height, width, CV_8UC4, const_cast<std::uint8_t*>(src), srcStride);
    cv::cvtColor(packed, target, cv::COLOR_BGRA2BGR);
    return;
  }
  for (int row = 0; row < height; ++row) {
    const std::uint8_t* in = src + static_cast<std::size_t>(row) * srcStride;
    std::uint8_t* out = target.ptr<std::uint8_t>(row);
    for (int col = 0; col < width; ++col, in += layout.bytesPerPixel, out += 3) {
      out[0] = in[layout.blue];
      out[1] = in[layout.green];
      out[2] = in[layout.red];
    }
  }
}

void CopyPackedToBgra(const std::uint8_t* src, std::size_t srcStride, int width, int height,
                      const PackedPixelLayout& layout, cv::Mat& dst, int dstX, int dstY) {
  if (width <= 0 || height <= 0) return;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const bool asIs =
      layout.bytesPerPixel == 4 && layout.blue == 0 && layout.green == 1 && layout.red == 2;
  for (int row = 0; row < height; ++row) {
    const std::uint8_t* in = src + static_cast<std::size_t>(row) * srcStride;
    std::uint8_t* out = dst.ptr<std::uint8_t>(dstY + row) + static_cast<std::size_t>(dstX) * 4;
    if (asIs) {
      std::memcpy(out, in, rowBytes);
      continue;
    }
    for (int col = 0; col < width; ++col, in += layout.bytesPerPixel, out += 4) {
      out[0] = in[layout.blue];
      out[1] = in[layout.green];
      out[2] = in[layout.red];
      out[3] = 255;
    }
  }
}

std::size_t PackedRowStride(int width, int bitsPerPixel, int scanlinePad) {
  if (scanlinePad <= 0) scanlinePad = 8;
  const std::size_t bits = static_cast<std::size_t>(width) * static_cast<std::size_t>(bitsPerPixel);
  const std::size_t pad = static_cast<std::size_t>(scanlinePad);
  return (bits + pad - 1) / pad * pad / 8;
}

}  // namespace tavrik
