#include "capture/capture_geometry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "capture/screen_capture.h"
#include "capture/xft_dpi.h"

namespace tavrik {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(CaptureSizeAcceptable, RefusesEmptyNegativeAndAbsurdSizes) {
  EXPECT_TRUE(CaptureSizeAcceptable(1, 1));
  EXPECT_TRUE(CaptureSizeAcceptable(1920, 1080));
  EXPECT_TRUE(CaptureSizeAcceptable(8192, 8192));  // exactly the bound
  EXPECT_FALSE(CaptureSizeAcceptable(8192, 8193));
  EXPECT_TRUE(CaptureSizeAcceptable(1 << 26, 1));
  EXPECT_FALSE(CaptureSizeAcceptable((1 << 26) + 1, 1));
  EXPECT_FALSE(CaptureSizeAcceptable(100000, 100000));
  // Products that wrap in 32 bits (65536 * 65536 == 0, 2^16 * (2^16 + 1) == 2^16) are refused.
  EXPECT_FALSE(CaptureSizeAcceptable(65536, 65536));
  EXPECT_FALSE(CaptureSizeAcceptable(65536, 65537));
  EXPECT_FALSE(CaptureSizeAcceptable(kMax, kMax));
  EXPECT_FALSE(CaptureSizeAcceptable(kMax, 1));
  EXPECT_FALSE(CaptureSizeAcceptable(0, 10));
  EXPECT_FALSE(CaptureSizeAcceptable(10, 0));
  EXPECT_FALSE(CaptureSizeAcceptable(-1, 10));
  EXPECT_FALSE(CaptureSizeAcceptable(10, -1));
  EXPECT_FALSE(CaptureSizeAcceptable(kMin, kMin));  // the product of two negatives is positive
}

TEST(CaptureSizeAcceptable, EmptyImageWithoutAllocatingForAbsurdRegions) {
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 100000, 100000).empty());
  EXPECT_TRUE(CaptureScreenRegion(0, 0, kMax, kMax).empty());
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 0, 5).empty());
  EXPECT_TRUE(CaptureScreenRegion(0, 0, 5, -5).empty());
}

void ExpectClip(const CaptureClip& clip, std::int32_t srcX, std::int32_t srcY, std::int32_t dstX,
                std::int32_t dstY, std::int32_t width, std::int32_t height) {
  EXPECT_EQ(clip.srcX, srcX);
  EXPECT_EQ(clip.srcY, srcY);
  EXPECT_EQ(clip.dstX, dstX);
  EXPECT_EQ(clip.dstY, dstY);
  EXPECT_EQ(clip.width, width);
  EXPECT_EQ(clip.height, height);
}

TEST(ClipToScreen, KeepsTheOnScreenPartAndWhereItGoes) {
  ExpectClip(ClipToScreen(10, 20, 30, 40, 1280, 1024), 10, 20, 0, 0, 30, 40);
  ExpectClip(ClipToScreen(0, 0, 1280, 1024, 1280, 1024), 0, 0, 0, 0, 1280, 1024);
  ExpectClip(ClipToScreen(-10, -5, 30, 20, 1280, 1024), 0, 0, 10, 5, 20, 15);
  ExpectClip(ClipToScreen(1260, 1014, 50, 40, 1280, 1024), 1260, 1014, 0, 0, 20, 10);
  ExpectClip(ClipToScreen(-5, -5, 2000, 2000, 100, 50), 0, 0, 5, 5, 100, 50);
  ExpectClip(ClipToScreen(99, 49, 1, 1, 100, 50), 99, 49, 0, 0, 1, 1);
}

TEST(ClipToScreen, NothingOnScreenIsEmpty) {
  EXPECT_TRUE(ClipToScreen(100, 0, 5, 5, 100, 50).Empty());  // starts at the right edge
  EXPECT_TRUE(ClipToScreen(0, 50, 5, 5, 100, 50).Empty());
  EXPECT_TRUE(ClipToScreen(-5, 0, 5, 5, 100, 50).Empty());  // ends at the left edge
  EXPECT_TRUE(ClipToScreen(0, -5, 5, 5, 100, 50).Empty());
  EXPECT_TRUE(ClipToScreen(2000, 2000, 10, 10, 1280, 1024).Empty());
  EXPECT_TRUE(ClipToScreen(0, 0, 0, 5, 100, 50).Empty());
  EXPECT_TRUE(ClipToScreen(0, 0, 5, -1, 100, 50).Empty());
  EXPECT_TRUE(ClipToScreen(0, 0, 5, 5, 0, 50).Empty());
}

TEST(ClipToScreen, ExtremeCoordinatesDoNotOverflow) {
  EXPECT_TRUE(ClipToScreen(kMax, kMax, kMax, kMax, 1280, 1024).Empty());
  EXPECT_TRUE(ClipToScreen(kMax - 10, 0, 100, 1, 1280, 1024).Empty());
  EXPECT_TRUE(ClipToScreen(kMin, kMin, 100, 100, 1280, 1024).Empty());
  ExpectClip(ClipToScreen(kMin, 0, kMax, 1, 1280, 1024), 0, 0, 0, 0, 0, 0);  // ends at -1
  ExpectClip(ClipToScreen(-100, -1, kMax, 2, 1280, 1024), 0, 0, 100, 1, 1280, 1);
}

TEST(PackedLayoutFor, AcceptsEightBitTrueColorLayoutsOnly) {
  const auto bgrx = PackedLayoutFor(32, true, 0xff0000, 0xff00, 0xff);
  ASSERT_TRUE(bgrx);
  EXPECT_EQ(bgrx->bytesPerPixel, 4);
  EXPECT_EQ(bgrx->blue, 0);
  EXPECT_EQ(bgrx->green, 1);
  EXPECT_EQ(bgrx->red, 2);

  const auto bigEndian = PackedLayoutFor(32, false, 0xff0000, 0xff00, 0xff);
  ASSERT_TRUE(bigEndian);
  EXPECT_EQ(bigEndian->blue, 3);
  EXPECT_EQ(bigEndian->green, 2);
  EXPECT_EQ(bigEndian->red, 1);

  const auto rgbx = PackedLayoutFor(32, true, 0xff, 0xff00, 0xff0000);
  ASSERT_TRUE(rgbx);
  EXPECT_EQ(rgbx->red, 0);
  EXPECT_EQ(rgbx->blue, 2);

  const auto packed24 = PackedLayoutFor(24, true, 0xff0000, 0xff00, 0xff);
  ASSERT_TRUE(packed24);
  EXPECT_EQ(packed24->bytesPerPixel, 3);
  EXPECT_EQ(packed24->red, 2);
  const auto packed24Msb = PackedLayoutFor(24, false, 0xff0000, 0xff00, 0xff);
  ASSERT_TRUE(packed24Msb);
  EXPECT_EQ(packed24Msb->red, 0);
  EXPECT_EQ(packed24Msb->blue, 2);

  EXPECT_FALSE(PackedLayoutFor(16, true, 0xf800, 0x07e0, 0x001f));      // 5-6-5
  EXPECT_FALSE(PackedLayoutFor(32, true, 0x3ff00000, 0xffc00, 0x3ff));  // 10-bit channels
  EXPECT_FALSE(PackedLayoutFor(32, true, 0xff, 0xff, 0xff00));          // overlapping masks
  EXPECT_FALSE(PackedLayoutFor(24, true, 0xff000000, 0xff00, 0xff));    // mask beyond 24 bits
  EXPECT_FALSE(PackedLayoutFor(8, true, 0xe0, 0x1c, 0x03));
}

TEST(PackedRowStride, RoundsUpToTheScanlinePad) {
  EXPECT_EQ(PackedRowStride(3, 32, 32), 12u);
  EXPECT_EQ(PackedRowStride(3, 24, 32), 12u);  // 9 bytes padded to 12
  EXPECT_EQ(PackedRowStride(4, 24, 32), 12u);
  EXPECT_EQ(PackedRowStride(5, 24, 8), 15u);
  EXPECT_EQ(PackedRowStride(1, 24, 64), 8u);
}

TEST(CopyPackedToBgr, ReordersChannelsAndHonoursStrideAndPlacement) {
  // 3 x 2 pixels with a padded stride; each byte encodes (row, col, byte index).
  const int width = 3;
  const int height = 2;
  for (const int bytesPerPixel : {3, 4}) {
    for (const bool lsbFirst : {true, false}) {
      const auto layout = PackedLayoutFor(bytesPerPixel * 8, lsbFirst, 0xff0000, 0xff00, 0xff);
      ASSERT_TRUE(layout);
      const std::size_t stride = static_cast<std::size_t>(width * bytesPerPixel + 5);
      std::vector<std::uint8_t> src(stride * height, 0xEE);
      for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
          for (int byte = 0; byte < bytesPerPixel; ++byte) {
            src[row * stride + col * bytesPerPixel + byte] =
                static_cast<std::uint8_t>(row * 64 + col * 16 + byte);
          }
        }
      }
      cv::Mat dst(5, 6, CV_8UC3, cv::Scalar(1, 2, 3));
      CopyPackedToBgr(src.data(), stride, width, height, *layout, dst, 2, 1);
      for (int row = 0; row < dst.rows; ++row) {
        for (int col = 0; col < dst.cols; ++col) {
          const cv::Vec3b got = dst.at<cv::Vec3b>(row, col);
          const int r = row - 1;
          const int c = col - 2;
          if (r < 0 || r >= height || c < 0 || c >= width) {
            EXPECT_EQ(got, cv::Vec3b(1, 2, 3)) << "outside the block at " << col << "," << row;
            continue;
          }
          const int base = r * 64 + c * 16;
          const cv::Vec3b want(static_cast<std::uint8_t>(base + layout->blue),
                               static_cast<std::uint8_t>(base + layout->green),
                               static_cast<std::uint8_t>(base + layout->red));
          EXPECT_EQ(got, want) << bytesPerPixel << " bytes, lsb " << lsbFirst << " at " << c << ","
                               << r;
        }
      }
    }
  }
}

TEST(ParseXftDpi, ReadsTheXftDpiResource) {
  EXPECT_EQ(ParseXftDpi("Xft.dpi:\t120\n"), 120);
  EXPECT_EQ(ParseXftDpi("Xft.antialias:\t1\nXft.dpi:  144\nXft.hinting:\t1\n"), 144);
  EXPECT_EQ(ParseXftDpi("Xft.dpi:96"), 96);
  EXPECT_EQ(ParseXftDpi("Xft.dpi:\t96.6\r\n"), 97);
  EXPECT_EQ(ParseXftDpi(" Xft.dpi :\t192\n"), 192);
}

TEST(ParseXftDpi, AbsentOrUnusableValuesGiveNothing) {
  EXPECT_FALSE(ParseXftDpi(""));
  EXPECT_FALSE(ParseXftDpi("Xft.antialias:\t1\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpix:\t120\n"));
  EXPECT_FALSE(ParseXftDpi("MyXft.dpi:\t120\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpi:\t\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpi:\tlarge\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpi:\t120dpi\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpi:\t0\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpi:\t-96\n"));
  EXPECT_FALSE(ParseXftDpi("Xft.dpi\t120\n"));
}

}  // namespace
}  // namespace tavrik
