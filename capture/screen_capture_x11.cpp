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

void CopyPacked(const std::uint8_t* src, std::size_t stride, const CaptureClip& clip,
                const PackedPixelLayout& layout, cv::Mat& image, bool bgra) {
  if (bgra) {
    CopyPackedToBgra(src, stride, clip.width, clip.height, layout, image, clip.dstX, clip.dstY);
  } else {
    CopyPackedToBgr(src, stride, clip.width, clip.height, layout, image, clip.dstX, clip.dstY);
  }
}

// Whether the server's packed pixels already are 4-byte BGRA: then a capture wholly on the screen
// can be handed out as a view of the shared segment.
bool ServerPixelsAreBgra(const Session& session) {
  const std::optional<PackedPixelLayout>& layout = session.Layout();
  return layout && layout->bytesPerPixel == 4 && layout->blue == 0 && layout->green == 1 &&
         layout->red == 2;
}

// `view`: hand out the segment itself instead of a copy (the caller checked that it may).
ReadOutcome ReadWithShm(Session& session, const CaptureClip& clip, cv::Mat& image, bool bgra,
                        bool view = false) {
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
  if (view) {
    // Read-only use by contract (CaptureScreenRegionView); cv::Mat has no const view.
    image = cv::Mat(clip.height, clip.width, CV_8UC4, const_cast<std::uint8_t*>(segment->Data()),
                    stride);
    return ReadOutcome::kDone;
  }
  CopyPacked(segment->Data(), stride, clip, *session.Layout(), image, bgra);
  return ReadOutcome::kDone;
}

ReadOutcome ReadWithGetImage(Session& session, const CaptureClip& clip, cv::Mat& image, bool bgra) {
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
  CopyPacked(xcb_get_image_data(reply.get()), stride, clip, *session.Layout(), image, bgra);
  return ReadOutcome::kDone;
}

}  // namespace

namespace {

// Captures into `image` (CV_8UC3 BGR or CV_8UC4 BGRA, reused when it has that size and type).
// `allowView`: a BGRA capture wholly on the screen through MIT-SHM may instead make `image` a view
// of the shared segment.
bool CaptureInto(CaptureMethod method, std::int32_t x, std::int32_t y, std::int32_t width,
                 std::int32_t height, cv::Mat& image, bool bgra, bool allowView = false) {
  // Checked before any connection exists: a nonsense size never reaches the server, and an
  // absurd one is never allocated.
  if (!CaptureSizeAcceptable(width, height)) return false;

  SigpipeGuard sigpipeGuard;
  Session* session = ThreadSession();
  if (session == nullptr) return false;
  session->DrainEvents();
  if (!session->Layout()) return false;
  bool useShm = method != CaptureMethod::kGetImage && session->ShmUsable();
  if (method == CaptureMethod::kShm && !useShm) return false;

  bool refreshedRootSize = false;
  for (;;) {
    const CaptureClip clip =
        ClipToScreen(x, y, width, height, session->RootWidth(), session->RootHeight());
    const bool whole = clip.width == width && clip.height == height;
    if (useShm && allowView && bgra && whole && ServerPixelsAreBgra(*session)) {
      switch (ReadWithShm(*session, clip, image, bgra, /*view=*/true)) {
        case ReadOutcome::kDone:
          return true;
        case ReadOutcome::kConnection:
          return false;
        default:
          break;  // the copying path below sorts it out (and may reach the same answer)
      }
      if (session->Broken()) return false;
    }
    image.create(height, width, bgra ? CV_8UC4 : CV_8UC3);
    // GDI shows whatever lies off the screen as black; the server refuses such reads, so the
    // on-screen part is read into a black image. A region wholly on the screen is overwritten
    // completely and needs no clearing.
    if (!whole) image.setTo(cv::Scalar::all(0));
    if (clip.Empty()) return true;
    const ReadOutcome outcome = useShm ? ReadWithShm(*session, clip, image, bgra)
                                       : ReadWithGetImage(*session, clip, image, bgra);
    switch (outcome) {
      case ReadOutcome::kDone:
        return true;
      case ReadOutcome::kConnection:
        return false;
      case ReadOutcome::kNoShm:
        // A display we cannot share memory with (remote, or no SysV IPC): use the socket from
        // now on, unless the caller insisted on MIT-SHM.
        if (method == CaptureMethod::kShm) return false;
        session->DisableShm();
        useShm = false;
        break;
      case ReadOutcome::kRefused:
        if (refreshedRootSize) return false;
        session->RefreshRootSize();
        refreshedRootSize = true;
        break;
    }
    if (session->Broken()) return false;
  }
}

}  // namespace

cv::Mat CaptureScreenRegionUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                 std::int32_t width, std::int32_t height) {
  cv::Mat image;
  if (!CaptureInto(method, x, y, width, height, image, false)) return cv::Mat();
  return image;
}

bool CaptureScreenRegionIntoUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                  std::int32_t width, std::int32_t height, cv::Mat& image) {
  return CaptureInto(method, x, y, width, height, image, true);
}

bool CaptureScreenRegionViewUsing(CaptureMethod method, std::int32_t x, std::int32_t y,
                                  std::int32_t width, std::int32_t height, cv::Mat& image) {
  // The DetectionLoop's threads capture all the time: no signal-mask calls per capture.
  KeepSigpipeBlocked();
  return CaptureInto(method, x, y, width, height, image, true, /*allowView=*/true);
}

}  // namespace x11

cv::Mat CaptureScreenRegion(std::int32_t x, std::int32_t y, std::int32_t width,
                            std::int32_t height) {
  return x11::CaptureScreenRegionUsing(x11::CaptureMethod::kAuto, x, y, width, height);
}

bool CaptureScreenRegionInto(std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, cv::Mat& image) {
  return x11::CaptureScreenRegionIntoUsing(x11::CaptureMethod::kAuto, x, y, width, height, image);
}

bool CaptureScreenRegionView(std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, cv::Mat& image) {
  return x11::CaptureScreenRegionViewUsing(x11::CaptureMethod::kAuto, x, y, width, height, image);
}

void ReleaseThreadCaptureBuffers() {
  if (x11::ThreadHasSession()) {
    if (x11::Session* session = x11::ThreadSession()) session->ReleaseShm();
  }
}

std::optional<IntRect> ScreenBounds() {
  x11::SigpipeGuard sigpipeGuard;
  x11::Session* session = x11::LiveThreadSession();
  if (session == nullptr) return std::nullopt;
  session->DrainEvents();
  session->RefreshRootSize();
  if (session->Broken()) return std::nullopt;
  return IntRect{0, 0, session->RootWidth(), session->RootHeight()};
}

}  // namespace tavrik
