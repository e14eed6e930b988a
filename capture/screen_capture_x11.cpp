#include <algorithm>

#include "capture/capture_geometry.h"
#include "capture/screen_capture.h"
#include "capture/x11_capture.h"
#include "capture/x11_connection.h"

namespace tavrik {
namespace x11 {
namespace {

enum class ReadOutcome {
  kDone,
  kRefused,     // the server answered with an error (the root may have shrunk meanwhile)
  kNoShm,       // no shared segment could be set up for this server
  kConnection,  // the connection is gone
};

// Rows per ShmGetImage request. A large region is fetched as several bands sent at once, so that
// converting one band overlaps with the server copying the next; the reply of a single request
// would leave both sides waiting for each other.
int RowsPerBand(int width, int height) {
  constexpr std::size_t kBandPixels = 16 * 1024;
  constexpr int kMaxBands = 8;
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const int bands = static_cast<int>(std::min<std::size_t>(kMaxBands, std::max<std::size_t>(
                                                                          1, pixels / kBandPixels)));
  return (height + bands - 1) / bands;
}

ReadOutcome ReadWithShm(Session& session, const CaptureClip& clip, cv::Mat& image) {
  const std::size_t stride =
      PackedRowStride(clip.width, session.BitsPerPixel(), session.ScanlinePad());
  const ShmSegment* segment = session.EnsureShm(stride * static_cast<std::size_t>(clip.height));
  if (segment == nullptr) return session.Broken() ? ReadOutcome::kConnection : ReadOutcome::kNoShm;

  xcb_connection_t* c = session.Connection();
  const int rowsPerBand = RowsPerBand(clip.width, clip.height);
  constexpr int kMaxCookies = 16;
  xcb_shm_get_image_cookie_t cookies[kMaxCookies];
  int bands = 0;
  for (int top = 0; top < clip.height && bands < kMaxCookies; top += rowsPerBand, ++bands) {
    const int rows = std::min(rowsPerBand, clip.height - top);
    cookies[bands] = xcb_shm_get_image(
        c, session.Root(), static_cast<std::int16_t>(clip.srcX),
        static_cast<std::int16_t>(clip.srcY + top), static_cast<std::uint16_t>(clip.width),
        static_cast<std::uint16_t>(rows), ~std::uint32_t{0}, XCB_IMAGE_FORMAT_Z_PIXMAP,
        segment->Id(), static_cast<std::uint32_t>(stride * static_cast<std::size_t>(top)));
  }
  xcb_flush(c);

  ReadOutcome outcome = ReadOutcome::kDone;
  for (int band = 0; band < bands; ++band) {
    if (outcome != ReadOutcome::kDone) {
      xcb_discard_reply(c, cookies[band].sequence);
      continue;
    }
    ErrorSink error;
    Reply<xcb_shm_get_image_reply_t> reply(
        xcb_shm_get_image_reply(c, cookies[band], error.Out()));
    if (!reply) {
      outcome = error.Raised() ? ReadOutcome::kRefused : ReadOutcome::kConnection;
    } else if (reply->depth != session.RootDepth()) {
      outcome = ReadOutcome::kRefused;
    } else {
      const int top = band * rowsPerBand;
      const int rows = std::min(rowsPerBand, clip.height - top);
      CopyPackedToBgr(segment->Data() + stride * static_cast<std::size_t>(top), stride,
                      clip.width, rows, *session.Layout(), image, clip.dstX, clip.dstY + top);
    }
  }
  return outcome;
}

ReadOutcome ReadWithGetImage(Session& session, const CaptureClip& clip, cv::Mat& image) {
  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
      c,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, session.Root(),
                    static_cast<std::int16_t>(clip.srcX), static_cast<std::int16_t>(clip.srcY),
                    static_cast<std::uint16_t>(clip.width),
                    static_cast<std::uint16_t>(clip.height), ~std::uint32_t{0}),
      error.Out()));
  if (!reply) return error.Raised() ? ReadOutcome::kRefused : ReadOutcome::kConnection;
  const std::size_t stride =
      PackedRowStride(clip.width, session.BitsPerPixel(), session.ScanlinePad());
  const int length = xcb_get_image_data_length(reply.get());
  if (reply->depth != session.RootDepth() || length < 0 ||
      static_cast<std::size_t>(length) < stride * static_cast<std::size_t>(clip.height)) {
    return ReadOutcome::kRefused;
  }
  CopyPackedToBgr(xcb_get_image_data(reply.get()), stride, clip.width, clip.height,
                  *session.Layout(), image, clip.dstX, clip.dstY);
  return ReadOutcome::kDone;
}

}  // namespace

cv::Mat CaptureScreenRegionUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                 std::int32_t width, std::int32_t height) {
  // Checked before any connection exists: a nonsense size never reaches the server, and an
  // absurd one is never allocated.
  if (!CaptureSizeAcceptable(width, height)) return cv::Mat();

  SigpipeGuard sigpipeGuard;
  Session* session = ThreadSession();
  if (session == nullptr) return cv::Mat();
  session->DrainEvents();
  if (!session->Layout()) return cv::Mat();
  bool useShm = method != CaptureMethod::kGetImage && session->ShmUsable();
  if (method == CaptureMethod::kShm && !useShm) return cv::Mat();

  cv::Mat image(height, width, CV_8UC3);
  bool refreshedRootSize = false;
  for (;;) {
    const CaptureClip clip =
        ClipToScreen(x, y, width, height, session->RootWidth(), session->RootHeight());
    // GDI shows whatever lies off the screen as black; the server refuses such reads, so the
    // on-screen part is read into a black image. A region wholly on the screen is overwritten
    // completely and needs no clearing.
    if (clip.width != width || clip.height != height) image.setTo(cv::Scalar::all(0));
    if (clip.Empty()) return image;
    const ReadOutcome outcome = useShm ? ReadWithShm(*session, clip, image)
                                       : ReadWithGetImage(*session, clip, image);
    switch (outcome) {
      case ReadOutcome::kDone:
        return image;
      case ReadOutcome::kConnection:
        return cv::Mat();
      case ReadOutcome::kNoShm:
        // A display we cannot share memory with (remote, or no SysV IPC): use the socket from
        // now on, unless the caller insisted on MIT-SHM.
        if (method == CaptureMethod::kShm) return cv::Mat();
        session->DisableShm();
        useShm = false;
        break;
      case ReadOutcome::kRefused:
        if (refreshedRootSize) return cv::Mat();
        session->RefreshRootSize();
        refreshedRootSize = true;
        break;
    }
    if (session->Broken()) return cv::Mat();
  }
}

}  // namespace x11

cv::Mat CaptureScreenRegion(std::int32_t x, std::int32_t y, std::int32_t width,
                            std::int32_t height) {
  return x11::CaptureScreenRegionUsing(x11::CaptureMethod::kAuto, x, y, width, height);
}

}  // namespace tavrik
