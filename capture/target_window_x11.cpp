// X11 backend of target_window.h: stacking order, _NET_WM_PID or X-Resource, /proc/<pid>/exe.
#include <unistd.h>
#include <xcb/res.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/utf.h"
#include "capture/image_name.h"
#include "capture/target_window.h"
#include "capture/x11_connection.h"
#include "capture/xft_dpi.h"

namespace tavrik {
namespace {

using x11::AtomId;
using x11::ErrorSink;
using x11::Reply;
using x11::Session;

constexpr std::uint32_t kIconicState = 3;  // ICCCM WM_STATE
// Reparenting window managers put the client one or two levels below their frame.
constexpr int kFrameSearchDepth = 3;

// A client window and the root child that holds it (the same window when nothing reparented it,
// unknown (0) when the list came from the window manager).
struct TopLevel {
  xcb_window_t client = 0;
  xcb_window_t frame = 0;
};

// The 32-bit items of a property of the given type; empty when absent or of another shape.
std::vector<std::uint32_t> Property32(Session& session, xcb_window_t window, xcb_atom_t property,
                                      xcb_atom_t type, std::uint32_t maxItems) {
  if (property == XCB_ATOM_NONE) return {};
  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, window, property, type, 0, maxItems), error.Out()));
  if (!reply || reply->type != type || reply->format != 32) return {};
  const auto* items = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  return std::vector<std::uint32_t>(items, items + std::max(count, 0));
}

std::optional<std::uint32_t> WmState(Session& session, xcb_window_t window) {
  const xcb_atom_t wmState = session.Atom(AtomId::kWmState);
  const std::vector<std::uint32_t> state = Property32(session, window, wmState, wmState, 2);
  if (state.empty()) return std::nullopt;
  return state.front();
}

// An EWMH window manager proves it is alive by a check window that names itself.
bool WindowManagerRunning(Session& session) {
  const xcb_atom_t check = session.Atom(AtomId::kNetSupportingWmCheck);
  const std::vector<std::uint32_t> onRoot =
      Property32(session, session.Root(), check, XCB_ATOM_WINDOW, 1);
  if (onRoot.empty()) return false;
  const std::vector<std::uint32_t> onChild =
      Property32(session, onRoot.front(), check, XCB_ATOM_WINDOW, 1);
  return onChild.size() == 1 && onChild.front() == onRoot.front();
}

// Children of `window`, topmost first (the server lists them bottom to top).
std::vector<xcb_window_t> ChildrenTopFirst(Session& session, xcb_window_t window) {
  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(c, xcb_query_tree(c, window), error.Out()));
  if (!tree) return {};
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());
  return std::vector<xcb_window_t>(std::make_reverse_iterator(children + count),
                                   std::make_reverse_iterator(children));
}

// The window below `window` (itself included) that carries WM_STATE, searched top-first.
xcb_window_t ClientBelow(Session& session, xcb_window_t window, int depth) {
  if (WmState(session, window)) return window;
  if (depth == 0) return 0;
  for (xcb_window_t child : ChildrenTopFirst(session, window)) {
    if (xcb_window_t client = ClientBelow(session, child, depth - 1)) return client;
  }
  return 0;
}

// Top-level client windows, top of the stacking order first.
std::vector<TopLevel> TopLevelsTopFirst(Session& session, bool windowManager) {
  std::vector<TopLevel> result;
  if (windowManager) {
    // The window manager's list runs bottom to top.
    const std::vector<std::uint32_t> stacking =
        Property32(session, session.Root(), session.Atom(AtomId::kNetClientListStacking),
                   XCB_ATOM_WINDOW, 1u << 16);
    for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) result.push_back({*it, 0});
    if (!result.empty()) return result;
  }
  for (xcb_window_t child : ChildrenTopFirst(session, session.Root())) {
    // Without a window manager nothing sets WM_STATE; the root child is then the client itself.
    const xcb_window_t client = ClientBelow(session, child, kFrameSearchDepth);
    result.push_back({client != 0 ? client : child, child});
  }
  return result;
}

struct WindowState {
  bool viewable = false;
  bool iconic = false;
};

// Visible in the sense of the Windows desktop: shown, or minimised (iconic). Withdrawn windows and
// windows that vanished meanwhile are not.
std::optional<WindowState> VisibleState(Session& session, xcb_window_t window) {
  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), error.Out()));
  if (!attributes) return std::nullopt;
  WindowState state;
  state.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  state.iconic = WmState(session, window) == kIconicState;
  if (!state.viewable && !state.iconic) return std::nullopt;
  return state;
}

// The process that owns `window`: _NET_WM_PID, else what the X-Resource extension knows about
// the connection that created it (local clients only). 0 when neither tells.
std::uint32_t WindowProcessId(Session& session, xcb_window_t window) {
  const std::vector<std::uint32_t> pid =
      Property32(session, window, session.Atom(AtomId::kNetWmPid), XCB_ATOM_CARDINAL, 1);
  if (!pid.empty() && pid.front() != 0) return pid.front();
  if (!session.HasResExtension()) return 0;

  xcb_connection_t* c = session.Connection();
  xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  ErrorSink error;
  Reply<xcb_res_query_client_ids_reply_t> ids(
      xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &spec), error.Out()));
  if (!ids) return 0;
  for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
        xcb_res_client_id_value_value_length(it.data) == 1) {
      return *xcb_res_client_id_value_value(it.data);
    }
  }
  return 0;
}

struct Target {
  TopLevel window;
  WindowState state;
};

std::optional<Target> FindTarget(Session& session, bool windowManager,
                                 std::u16string_view wantedName) {
  for (const TopLevel& candidate : TopLevelsTopFirst(session, windowManager)) {
    const std::optional<WindowState> state = VisibleState(session, candidate.client);
    if (!state) continue;
    const std::uint32_t pid = WindowProcessId(session, candidate.client);
    if (pid != 0 && ProcessMatchesName(pid, wantedName)) return Target{candidate, *state};
  }
  return std::nullopt;
}

void RestoreAndRaise(Session& session, bool windowManager, const Target& target) {
  xcb_connection_t* c = session.Connection();
  const xcb_window_t client = target.window.client;
  if (windowManager) {
    // Mapping an iconic client asks its window manager to restore it (ICCCM); the EWMH
    // activation message then raises and focuses it. Source 2 ("pager") is honoured by window
    // managers that otherwise block focus stealing.
    if (!target.state.viewable) xcb_map_window(c, client);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = client;
    message.type = session.Atom(AtomId::kNetActiveWindow);
    message.data.data32[0] = 2;
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, session.Root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
  } else {
    const xcb_window_t top = target.window.frame != 0 ? target.window.frame : client;
    if (top != client) xcb_map_window(c, top);
    xcb_map_window(c, client);
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c, top, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, client, XCB_CURRENT_TIME);
  }
  // Errors (a window that vanished, focus refused) arrive in the queue; the next drain drops them.
  session.Sync();
}

void SleepOnSteadyClock(std::chrono::milliseconds interval) {
  const auto until = std::chrono::steady_clock::now() + interval;
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

std::int32_t ReadDpi(Session& session) {
  xcb_connection_t* c = session.Connection();
  ErrorSink error;
  Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c,
                             xcb_get_property(c, 0, session.Root(), XCB_ATOM_RESOURCE_MANAGER,
                                              XCB_ATOM_STRING, 0, 1u << 20),
                             error.Out()));
  if (!reply || reply->format != 8) return kDefaultDpi;
  const std::string_view resources(
      static_cast<const char*>(xcb_get_property_value(reply.get())),
      static_cast<std::size_t>(std::max(xcb_get_property_value_length(reply.get()), 0)));
  return ParseXftDpi(resources).value_or(kDefaultDpi);
}

}  // namespace

bool ProcessMatchesName(std::uint32_t pid, std::u16string_view wantedName) {
  if (pid == 0) return false;
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  // Anything at or beyond this length cannot match anyway (kMaxImagePathUnits); the extra byte
  // tells a truncated read from a path that fits.
  char path[4096];
  const ssize_t length = readlink(link.c_str(), path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return false;
  return ImagePathMatches(Utf8ToUtf16(std::string_view(path, static_cast<std::size_t>(length))),
                          wantedName);
}

NativeWindowId FindTargetWindow(std::u16string_view normalizedName) {
  x11::SigpipeGuard sigpipeGuard;
  Session* session = x11::LiveThreadSession();
  if (session == nullptr) return 0;
  session->DrainEvents();
  const std::optional<Target> target =
      FindTarget(*session, WindowManagerRunning(*session), normalizedName);
  return target ? target->window.client : 0;
}

WindowLookup LookUpTargetWindow(std::u16string_view normalizedName, WindowOrigin& origin,
                                std::int32_t* dpi) {
  if (normalizedName.empty()) return WindowLookup::kNotFound;
  x11::SigpipeGuard sigpipeGuard;
  // Lookups are rare and an add must not look at a dead server's leftovers: pay a round trip.
  Session* session = x11::LiveThreadSession();
  if (session == nullptr) return WindowLookup::kNoDisplay;
  session->DrainEvents();
  const bool windowManager = WindowManagerRunning(*session);
  const std::optional<Target> target = FindTarget(*session, windowManager, normalizedName);
  if (!target) return session->Broken() ? WindowLookup::kNoDisplay : WindowLookup::kNotFound;

  RestoreAndRaise(*session, windowManager, *target);
  // Let the window finish restoring and moving before it is measured.
  SleepOnSteadyClock(std::chrono::milliseconds(50));

  xcb_connection_t* c = session->Connection();
  ErrorSink error;
  Reply<xcb_translate_coordinates_reply_t> corner(xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, target->window.client, session->Root(), 0, 0), error.Out()));
  if (!corner || !corner->same_screen) {
    return session->Broken() ? WindowLookup::kNoDisplay : WindowLookup::kNotFound;
  }
  const std::int32_t resolvedDpi = dpi != nullptr ? ReadDpi(*session) : kDefaultDpi;
  session->DrainEvents();
  origin = WindowOrigin{corner->dst_x, corner->dst_y};
  if (dpi != nullptr) *dpi = resolvedDpi;
  return WindowLookup::kFound;
}

}  // namespace tavrik
