// X11 backend of screen_capture.h: MIT-SHM with a reused segment, plain GetImage as the fallback.
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

ReadOutcome ReadWithShm(Session& session, const CaptureClip& clip, cv::Mat& image) {
  const std::size_t stride =
      PackedRowStride(clip.width, session.BitsPerPixel(), session.ScanlinePad());
  const ShmSegment* segment = session.EnsureShm(stride * static_cast<std::size_t>(clip.height));
  if (segment == nullptr) return session.Broken() ? ReadOutcome::kConnection : ReadOutcome::kNoShm;

  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, session.Root(), static_cast<std::int16_t>(clip.srcX),
                        static_cast<std::int16_t>(clip.srcY),
                        static_cast<std::uint16_t>(clip.width),
                        static_cast<std::uint16_t>(clip.height), ~std::uint32_t{0},
                        XCB_IMAGE_FORMAT_Z_PIXMAP, segment->Id(), 0),
      error.Out()));
  if (!reply) return error.Raised() ? ReadOutcome::kRefused : ReadOutcome::kConnection;
  if (reply->depth != session.RootDepth()) return ReadOutcome::kRefused;
  CopyPackedToBgr(segment->Data(), stride, clip.width, clip.height, *session.Layout(), image,
                  clip.dstX, clip.dstY);
  return ReadOutcome::kDone;
}

ReadOutcome ReadWithGetImage(Session& session, const CaptureClip& clip, cv::Mat& image) {
  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
      c,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, session.Root(),
                    static_cast<std::int16_t>(clip.srcX), static_cast<std::int16_t>(clip.srcY),
                    static_cast<std::uint16_t>(clip.width), static_cast<std::uint16_t>(clip.height),
                    ~std::uint32_t{0}),
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
    const ReadOutcome outcome =
        useShm ? ReadWithShm(*session, clip, image) : ReadWithGetImage(*session, clip, image);
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
