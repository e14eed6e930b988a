// X11 backend of screen_changes.h: the DAMAGE extension on the root window, raw rectangles.
#include <poll.h>
#include <xcb/damage.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "base/clock.h"
#include "capture/screen_changes.h"
#include "capture/x11_connection.h"

namespace tavrik {
namespace {

// After no display or no extension was found, how long before a new connection is tried (the
// server may have been replaced by one that has it).
constexpr std::int64_t kRetryNs = 1'000'000'000;

// How long a look waits for its round trip before it gives up on the connection (a server that
// stopped answering) and answers "unknown".
constexpr std::int64_t kSyncTimeoutNs = 5'000'000'000;

IntRect Merged(const std::vector<IntRect>& rects) {
  std::int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
  for (const IntRect& r : rects) {
    left = std::min<std::int64_t>(left, r.x);
    top = std::min<std::int64_t>(top, r.y);
    right = std::max<std::int64_t>(right, std::int64_t{r.x} + r.width);
    bottom = std::max<std::int64_t>(bottom, std::int64_t{r.y} + r.height);
  }
  return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
          static_cast<std::int32_t>(right - left), static_cast<std::int32_t>(bottom - top)};
}

}  // namespace

struct ScreenChanges::Impl {
  std::unique_ptr<x11::Session> session;
  std::uint8_t firstEvent = 0;
  bool tracking = false;          // the damage object exists on `session`
  std::int64_t retryAfterNs = 0;  // no display or no extension: when to look again

  void Drop() {
    tracking = false;
    session.reset();  // the server frees the damage object with the connection
  }

  // A connection with a damage object on its root; false when there is none (yet).
  bool Start() {
    session = x11::Session::Open();
    if (!session) return false;
    xcb_connection_t* c = session->Connection();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_damage_id);
    if (extension == nullptr || !extension->present) return false;
    x11::ErrorSink versionError;
    x11::Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
        c, xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
        versionError.Out()));
    if (!version) return false;
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    if (damage == static_cast<xcb_damage_damage_t>(-1)) return false;
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_damage_create_checked(c, damage, session->Root(),
                                                       XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES));
    if (error != nullptr) {
      std::free(error);
      return false;
    }
    firstEvent = extension->first_event;
    tracking = true;
    return true;
  }

  // Adds one event to `damaged` and frees it; false when the answer can no longer be vouched for.
  bool Fold(xcb_generic_event_t* event, std::vector<IntRect>& damaged) const {
    bool vouched = true;
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == 0) {
      vouched = false;  // an error: the damage object may be gone
    } else if (type == static_cast<std::uint8_t>(firstEvent + XCB_DAMAGE_NOTIFY)) {
      const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
      damaged.push_back({notify->area.x, notify->area.y, notify->area.width, notify->area.height});
      if (damaged.size() > kMaxRectangles) {
        const IntRect all = Merged(damaged);
        damaged.assign(1, all);
      }
    } else if (type == XCB_CONFIGURE_NOTIFY) {
      vouched = false;  // the root changed size: every position may show something else
    }
    std::free(event);
    return vouched;
  }

  bool Take(std::vector<IntRect>& damaged) {
    if (session && session->Broken()) Drop();
    if (!tracking) {
      const std::int64_t now = MonotonicNowNs();
      if (now < retryAfterNs) return false;
      Drop();
      if (!Start()) {
        retryAfterNs = now + kRetryNs;
        return false;
      }
      // Whatever happened before the damage object existed is unknown.
      return false;
    }
    xcb_connection_t* c = session->Connection();
    bool vouched = true;
    // One round trip: every event the server sent before answering it comes before the answer.
    // The events are read and folded in one socket read at a time (xcb reads at most 4 KiB at
    // once) while the answer is awaited, never queued whole: however long the loop was away and
    // however fast another client draws, this process holds a few KiB of them.
    const xcb_get_input_focus_cookie_t sync = xcb_get_input_focus(c);
    xcb_flush(c);
    const std::int64_t giveUpNs = MonotonicNowNs() + kSyncTimeoutNs;
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        vouched = Fold(event, damaged) && vouched;
      }
      void* reply = nullptr;
      xcb_generic_error_t* error = nullptr;
      if (xcb_poll_for_reply(c, sync.sequence, &reply, &error) != 0) {
        if (reply == nullptr) vouched = false;
        std::free(reply);
        std::free(error);
        break;
      }
      const std::int64_t leftNs = giveUpNs - MonotonicNowNs();
      if (session->Broken() || leftNs <= 0) {
        Drop();
        return false;
      }
      pollfd readable{xcb_get_file_descriptor(c), POLLIN, 0};
      ::poll(&readable, 1, static_cast<int>(std::min<std::int64_t>(leftNs / 1'000'000 + 1, 1000)));
    }
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(c)) {
      vouched = Fold(event, damaged) && vouched;
    }
    if (session->Broken()) vouched = false;
    if (!vouched) Drop();
    return vouched;
  }
};

void ScreenChanges::Pause() noexcept {
  if (impl_ == nullptr) return;
  x11::SigpipeGuard sigpipeGuard;
  impl_->Drop();
  impl_->retryAfterNs = 0;
}

ScreenChanges::ScreenChanges() : impl_(new (std::nothrow) Impl) {}
ScreenChanges::~ScreenChanges() = default;

bool ScreenChanges::Take(std::vector<IntRect>& damaged) noexcept {
  x11::SigpipeGuard sigpipeGuard;
  try {
    damaged.clear();
    return impl_ != nullptr && impl_->Take(damaged);
  } catch (...) {
    // Out of memory for the rectangles: unknown is always a safe answer.
    damaged.clear();
    return false;
  }
}

}  // namespace tavrik
