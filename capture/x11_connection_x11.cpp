// X11 backend of x11_connection.h: per-thread XCB sessions, SIGPIPE guard and MIT-SHM segments.
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/res.h>

#include <ctime>
#include <string_view>
#include <utility>

#include "capture/x11_connection.h"

namespace tavrik::x11 {

// ---------------------------------------------------------------------------------------------
// SigpipeGuard

namespace {

thread_local bool t_sigpipeKeptBlocked = false;

// Takes a pending SIGPIPE off the calling thread (it blocks SIGPIPE), without waiting.
void DiscardPendingSigpipe() {
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) != 1) return;
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const timespec noWait{};
  sigtimedwait(&pipe, nullptr, &noWait);
}

}  // namespace

void KeepSigpipeBlocked() {
  if (t_sigpipeKeptBlocked) return;
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  t_sigpipeKeptBlocked = pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0;
}

SigpipeGuard::SigpipeGuard() {
  if (t_sigpipeKeptBlocked) return;  // wasBlocked_ stays true: nothing to undo
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &pipe, &previous_) == 0) {
    wasBlocked_ = sigismember(&previous_, SIGPIPE) == 1;
  }
}

SigpipeGuard::~SigpipeGuard() {
  // When SIGPIPE was blocked already, whoever blocked it owns what is pending.
  if (wasBlocked_) return;
  DiscardPendingSigpipe();
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

// ---------------------------------------------------------------------------------------------
// ShmSegment

void ShmIdTraits::Close(Value id) noexcept { shmctl(id, IPC_RMID, nullptr); }

void ShmMappingTraits::Close(Value address) noexcept { shmdt(address); }

ShmSegment ShmSegment::Create(xcb_connection_t* connection, std::size_t bytes) {
  ShmSegment result;
  result.id_.Reset(shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600));
  if (!result.id_.Valid()) return ShmSegment{};
  void* address = shmat(result.id_.Get(), nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) return ShmSegment{};  // the id is removed on return
  result.mapping_.Reset(address);
  result.size_ = bytes;

  const xcb_shm_seg_t segment = xcb_generate_id(connection);
  if (segment == static_cast<xcb_shm_seg_t>(-1)) return ShmSegment{};
  xcb_generic_error_t* error = xcb_request_check(
      connection,
      xcb_shm_attach_checked(connection, segment, static_cast<std::uint32_t>(result.id_.Get()), 0));
  // Both sides hold it now (or the server never will): from here on the last detach frees it.
  result.id_.Reset();
  if (error != nullptr || xcb_connection_has_error(connection)) {
    std::free(error);
    return ShmSegment{};
  }
  result.server_.Reset(segment);
  return result;
}

void ShmSegment::Release(xcb_connection_t* connection) {
  if (server_.Valid() && !xcb_connection_has_error(connection)) {
    xcb_shm_detach(connection, server_.Get());
  }
  *this = ShmSegment{};
}

// ---------------------------------------------------------------------------------------------
// Session

namespace {

constexpr std::string_view kAtomNames[] = {
    "WM_STATE",           "_NET_WM_PID", "_NET_CLIENT_LIST_STACKING", "_NET_SUPPORTING_WM_CHECK",
    "_NET_ACTIVE_WINDOW",
};
static_assert(std::size(kAtomNames) == static_cast<std::size_t>(AtomId::kCount));

const xcb_screen_t* ScreenAt(const xcb_setup_t* setup, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int index = 0; it.rem > 0; xcb_screen_next(&it), ++index) {
    if (index == number) return it.data;
  }
  return nullptr;
}

const xcb_visualtype_t* RootVisualType(const xcb_screen_t* screen) {
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == screen->root_visual) return visuals.data;
    }
  }
  return nullptr;
}

// Bytes needed rounded up so that regions of similar size reuse one segment.
std::size_t SegmentSizeFor(std::size_t bytes) {
  constexpr std::size_t kGranule = 64 * 1024;
  return (bytes + kGranule - 1) / kGranule * kGranule;
}

}  // namespace

std::unique_ptr<Session> Session::Open() {
  int screenNumber = 0;
  // xcb_connect always returns a connection object, an error one included; the Session owns it
  // from here so that every way out disconnects it.
  std::unique_ptr<Session> session(new Session(xcb_connect(nullptr, &screenNumber)));
  xcb_connection_t* c = session->connection_;
  if (xcb_connection_has_error(c)) return nullptr;

  const xcb_setup_t* setup = xcb_get_setup(c);
  const xcb_screen_t* screen = ScreenAt(setup, screenNumber);
  if (screen == nullptr) return nullptr;
  session->root_ = screen->root;
  session->rootWidth_ = screen->width_in_pixels;
  session->rootHeight_ = screen->height_in_pixels;
  session->rootDepth_ = screen->root_depth;

  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
       xcb_format_next(&formats)) {
    if (formats.data->depth == screen->root_depth) {
      session->bitsPerPixel_ = formats.data->bits_per_pixel;
      session->scanlinePad_ = formats.data->scanline_pad;
    }
  }
  const xcb_visualtype_t* visual = RootVisualType(screen);
  if (visual != nullptr && visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
      (screen->root_depth == 24 || screen->root_depth == 32)) {
    session->layout_ = PackedLayoutFor(session->bitsPerPixel_,
                                       setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST,
                                       visual->red_mask, visual->green_mask, visual->blue_mask);
  }

  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_res_id);
  xcb_intern_atom_cookie_t atomCookies[std::size(kAtomNames)];
  for (std::size_t i = 0; i < std::size(kAtomNames); ++i) {
    atomCookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(kAtomNames[i].size()),
                                     kAtomNames[i].data());
  }
  for (std::size_t i = 0; i < std::size(kAtomNames); ++i) {
    ErrorSink error;
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, atomCookies[i], error.Out()));
    if (atom) session->atoms_[i] = atom->atom;
  }

  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  if (shm != nullptr && shm->present) {
    ErrorSink error;
    Reply<xcb_shm_query_version_reply_t> version(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), error.Out()));
    session->shmUsable_ = version != nullptr;
  }
  const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
  if (res != nullptr && res->present) {
    ErrorSink error;
    Reply<xcb_res_query_version_reply_t> version(
        xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), error.Out()));
    // Client-id queries arrived with version 1.2.
    session->hasRes_ =
        version != nullptr &&
        (version->server_major > 1 || (version->server_major == 1 && version->server_minor >= 2));
  }

  // Follow root size changes (RandR) without a round trip per capture.
  const std::uint32_t eventMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, session->root_, XCB_CW_EVENT_MASK, &eventMask);
  xcb_flush(c);
  if (xcb_connection_has_error(c)) return nullptr;
  return session;
}

Session::~Session() {
  if (!xcb_connection_has_error(connection_)) shm_.Release(connection_);
  shm_ = ShmSegment{};
  xcb_disconnect(connection_);
}

void Session::DrainEvents() {
  // Only what earlier replies already brought in: reading the socket here would cost a system
  // call per capture, and a dead server shows up on the next request anyway.
  while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_)) {
    if ((event->response_type & 0x7f) == XCB_CONFIGURE_NOTIFY) {
      const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
      if (configure->window == root_) {
        rootWidth_ = configure->width;
        rootHeight_ = configure->height;
      }
    }
    std::free(event);
  }
}

void Session::RefreshRootSize() {
  ErrorSink error;
  Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root_), error.Out()));
  if (geometry) {
    rootWidth_ = geometry->width;
    rootHeight_ = geometry->height;
  }
}

bool Session::Sync() {
  ErrorSink error;
  Reply<xcb_get_input_focus_reply_t> focus(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), error.Out()));
  return focus != nullptr;
}

void Session::DisableShm() {
  shm_.Release(connection_);
  shmUsable_ = false;
}

const ShmSegment* Session::EnsureShm(std::size_t bytes) {
  if (!shmUsable_) return nullptr;
  if (shm_.Valid() && shm_.Size() >= bytes) return &shm_;
  shm_.Release(connection_);
  shm_ = ShmSegment::Create(connection_, SegmentSizeFor(bytes));
  return shm_.Valid() ? &shm_ : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Per-thread sessions

namespace {
thread_local std::unique_ptr<Session> t_session;
}

Session* ThreadSession() {
  if (t_session && t_session->Broken()) {
    t_session.reset();
    if (t_sigpipeKeptBlocked) DiscardPendingSigpipe();
  }
  if (!t_session) t_session = Session::Open();
  return t_session.get();
}

Session* LiveThreadSession() {
  if (t_session && !t_session->Broken()) t_session->Sync();
  return ThreadSession();
}

bool ThreadHasSession() { return t_session != nullptr; }

void CloseThreadSession() { t_session.reset(); }

}  // namespace tavrik::x11
