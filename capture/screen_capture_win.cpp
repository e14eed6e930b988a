// Win32 backend of screen_capture.h: GDI BitBlt into a memory bitmap, read back with GetDIBits.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "capture/screen_capture.h"

namespace tavrik {
namespace {

constexpr DWORD kCopyWithLayeredWindows = SRCCOPY | CAPTUREBLT;  // 0x40CC0020

// The GDI objects of one capture. Released in the fixed order: the original object selected
// back, the bitmap deleted, the memory context deleted, the screen context released; whatever
// was never created is skipped, so a half-built set unwinds cleanly.
class GdiCapture {
 public:
  GdiCapture(int width, int height) {
    screen_ = GetDC(nullptr);
    if (screen_ == nullptr) return;
    memory_ = CreateCompatibleDC(screen_);
    if (memory_ == nullptr) return;
    bitmap_ = CreateCompatibleBitmap(screen_, width, height);
    if (bitmap_ == nullptr) return;
    previous_ = SelectObject(memory_, bitmap_);
  }

  ~GdiCapture() { Release(); }

  // Selects the memory context's original object back, so that the bitmap is selected into no
  // context: GetDIBits must not read a bitmap that is (a driver may refuse it). Once only.
  void Deselect() {
    if (memory_ != nullptr && previous_ != nullptr && previous_ != HGDI_ERROR) {
      SelectObject(memory_, previous_);
    }
    previous_ = nullptr;
  }

  void Release() {
    Deselect();
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
    if (memory_ != nullptr) DeleteDC(memory_);
    if (screen_ != nullptr) ReleaseDC(nullptr, screen_);
    previous_ = nullptr;
    bitmap_ = nullptr;
    memory_ = nullptr;
    screen_ = nullptr;
  }

  GdiCapture(const GdiCapture&) = delete;
  GdiCapture& operator=(const GdiCapture&) = delete;

  // Before Deselect: everything was created and the bitmap is selected into the memory context.
  bool Ready() const {
    return screen_ != nullptr && memory_ != nullptr && bitmap_ != nullptr && previous_ != nullptr &&
           previous_ != HGDI_ERROR;
  }
  HDC Screen() const { return screen_; }
  HDC Memory() const { return memory_; }
  HBITMAP Bitmap() const { return bitmap_; }

 private:
  HDC screen_ = nullptr;
  HDC memory_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
};

// Copies the part of the rectangle that lies on the virtual screen and leaves the rest black.
// A single BitBlt over a rectangle that reaches beyond the screen is not dependable: some drivers
// (Wine's, for one) then copy nothing at all instead of the visible part. False when the copy
// failed (a locked workstation or a secure desktop refuses it): the bitmap then holds black, not
// the screen.
bool CopyVisiblePart(const GdiCapture& gdi, std::int32_t x, std::int32_t y, std::int32_t width,
                     std::int32_t height) {
  if (!PatBlt(gdi.Memory(), 0, 0, width, height, BLACKNESS)) return false;
  // 64-bit: x + width may leave the 32-bit range.
  const std::int64_t screenLeft = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const std::int64_t screenTop = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const std::int64_t screenRight = screenLeft + GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const std::int64_t screenBottom = screenTop + GetSystemMetrics(SM_CYVIRTUALSCREEN);
  const std::int64_t left = std::max<std::int64_t>(x, screenLeft);
  const std::int64_t top = std::max<std::int64_t>(y, screenTop);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{x} + width, screenRight);
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{y} + height, screenBottom);
  if (left >= right || top >= bottom) return true;  // wholly off the screen: all black
  return BitBlt(gdi.Memory(), static_cast<int>(left - x), static_cast<int>(top - y),
                static_cast<int>(right - left), static_cast<int>(bottom - top), gdi.Screen(),
                static_cast<int>(left), static_cast<int>(top), kCopyWithLayeredWindows) != FALSE;
}

}  // namespace

bool CaptureScreenRegionInto(std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, cv::Mat& image) {
  // Below 1 pixel nothing is asked of GDI; absurd sizes would otherwise try to allocate
  // gigabytes for the bitmap and the pixel buffer.
  if (!CaptureSizeAcceptable(width, height)) return false;

  GdiCapture gdi(width, height);
  // Without the screen context, the memory context or the bitmap there is no size to read
  // back: report a failed capture.
  if (!gdi.Ready()) return false;
  // A copy or read that failed is a failed capture, never a black image decided as a miss.
  if (!CopyVisiblePart(gdi, x, y, width, height)) return false;

  BITMAP description{};
  if (GetObjectA(gdi.Bitmap(), sizeof description, &description) == 0) return false;
  const int bitmapWidth = description.bmWidth;
  const int bitmapHeight = description.bmHeight;
  if (!CaptureSizeAcceptable(bitmapWidth, bitmapHeight)) return false;

  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = bitmapWidth;
  header.biHeight = -bitmapHeight;  // rows top-down
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;

  // GetDIBits writes the 32-bit pixels straight into the caller's buffer (rows of width * 4
  // bytes, no padding). A read of fewer lines than the bitmap has is a failed capture.
  image.create(bitmapHeight, bitmapWidth, CV_8UC4);
  gdi.Deselect();
  return GetDIBits(gdi.Memory(), gdi.Bitmap(), 0, static_cast<UINT>(bitmapHeight), image.data,
                   reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) == bitmapHeight;
}

cv::Mat CaptureScreenRegion(std::int32_t x, std::int32_t y, std::int32_t width,
                            std::int32_t height) {
  cv::Mat bgra;
  if (!CaptureScreenRegionInto(x, y, width, height, bgra)) return cv::Mat();
  cv::Mat bgr;
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

bool CaptureScreenRegionView(std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, cv::Mat& image) {
  return CaptureScreenRegionInto(x, y, width, height, image);
}

void ReleaseThreadCaptureBuffers() {}

std::optional<IntRect> ScreenBounds() {
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (width <= 0 || height <= 0) return std::nullopt;
  return IntRect{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), width,
                 height};
}

}  // namespace tavrik
