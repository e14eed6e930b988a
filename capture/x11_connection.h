// The X server connection of the calling thread, shared by window lookup and screen capture.
//
// Each thread that talks to the X server owns its own Session (the CommandThread for lookups, the
// main thread for captures). It is opened on first use and opened again on the next use after the
// connection broke, so a server that dies and comes back on the same display is picked up without
// help. Failures are values: a null Session, an empty reply. Nothing here ends the process: X
// errors are taken from replies or drained from the queue, and a write to a dead server cannot
// raise SIGPIPE while a SigpipeGuard is alive.
//
// X11 backend only: included by *_x11.cpp sources, the capture tests and the capture benchmark.
#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "base/unique_handle.h"
#include "capture/capture_geometry.h"

namespace tavrik::x11 {

// Frees what libxcb hands out with malloc (replies, errors, events).
struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Receives the error of one reply call and frees it. Usage:
//   ErrorSink error;
//   Reply<xcb_get_geometry_reply_t> r(xcb_get_geometry_reply(c, cookie, error.Out()));
class ErrorSink {
 public:
  ErrorSink() = default;
  ~ErrorSink() { std::free(error_); }
  ErrorSink(const ErrorSink&) = delete;
  ErrorSink& operator=(const ErrorSink&) = delete;

  xcb_generic_error_t** Out() { return &error_; }
  bool Raised() const { return error_ != nullptr; }

 private:
  xcb_generic_error_t* error_ = nullptr;
};

// Blocks SIGPIPE for the calling thread while it exists and discards a SIGPIPE raised meanwhile
// by writing to a server that has gone away. Leaves the process-wide disposition alone. Costs
// nothing on a thread that called KeepSigpipeBlocked.
class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t previous_{};
  bool wasBlocked_ = true;
};

// Blocks SIGPIPE for the calling thread for the rest of its life (once; later calls cost nothing),
// for a thread that talks to the server all the time (the DetectionLoop's captures): no signal-mask
// calls per request. A SIGPIPE raised by writing to a server that went away stays pending on the
// thread, never delivered, and is discarded when the broken session is dropped.
void KeepSigpipeBlocked();

enum class AtomId : int {
  kWmState,
  kNetWmPid,
  kNetClientListStacking,
  kNetSupportingWmCheck,
  kNetActiveWindow,
  kCount
};

// The parts of a System V shared-memory segment, each released on its own:
//   the id        removed (IPC_RMID) unless already marked for removal;
//   the mapping   detached from this process (shmdt);
//   the server's  attachment id; the server drops it with the connection, and Release() detaches
//                 it explicitly while the connection lives, so closing it here does nothing.
struct ShmIdTraits {
  using Value = int;
  static constexpr Value Invalid() noexcept { return -1; }
  static void Close(Value id) noexcept;
};
struct ShmMappingTraits {
  using Value = void*;
  static constexpr Value Invalid() noexcept { return nullptr; }
  static void Close(Value address) noexcept;
};
struct ServerSegmentTraits {
  using Value = xcb_shm_seg_t;
  static constexpr Value Invalid() noexcept { return 0; }
  static void Close(Value) noexcept {}
};

// A System V shared-memory segment attached to this process and to the X server (MIT-SHM).
// Move-only. The segment is marked for removal as soon as the server has attached it, so it
// vanishes with the last detach even when the process is killed.
class ShmSegment {
 public:
  // A segment of at least `bytes` attached on both sides, or an invalid one when the segment
  // cannot be created or the server refuses it (a remote display, for instance).
  static ShmSegment Create(xcb_connection_t* connection, std::size_t bytes);

  // Asks the server to drop its attachment, then detaches locally. Only for a live connection;
  // a connection that broke has taken the server side with it and needs just the destructor.
  void Release(xcb_connection_t* connection);

  bool Valid() const { return mapping_.Valid() && server_.Valid(); }
  std::size_t Size() const { return Valid() ? size_ : 0; }
  const std::uint8_t* Data() const { return static_cast<const std::uint8_t*>(mapping_.Get()); }
  xcb_shm_seg_t Id() const { return server_.Get(); }

 private:
  // Declaration order gives the release order: server attachment, mapping, then the id.
  UniqueHandle<ShmIdTraits> id_;
  UniqueHandle<ShmMappingTraits> mapping_;
  UniqueHandle<ServerSegmentTraits> server_;
  std::size_t size_ = 0;
};

// One connection with what the backends need to know about its default screen.
class Session {
 public:
  // Connects to $DISPLAY; null when there is no server to talk to.
  static std::unique_ptr<Session> Open();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  xcb_connection_t* Connection() const { return connection_; }
  xcb_window_t Root() const { return root_; }
  std::int32_t RootWidth() const { return rootWidth_; }
  std::int32_t RootHeight() const { return rootHeight_; }
  std::uint8_t RootDepth() const { return rootDepth_; }
  // The root visual's pixel layout; empty unless it is 24- or 32-bit TrueColor with 8-bit masks.
  const std::optional<PackedPixelLayout>& Layout() const { return layout_; }
  int BitsPerPixel() const { return bitsPerPixel_; }
  int ScanlinePad() const { return scanlinePad_; }
  xcb_atom_t Atom(AtomId id) const { return atoms_[static_cast<int>(id)]; }
  bool HasResExtension() const { return hasRes_; }

  // True once the connection has failed for good; the owner then drops the session.
  bool Broken() const { return xcb_connection_has_error(connection_) != 0; }

  // Discards queued events and errors of unchecked requests; follows root size changes.
  void DrainEvents();
  // Reads the root's size again (one round trip).
  void RefreshRootSize();
  // Waits until the server has processed every request sent so far.
  bool Sync();

  bool ShmUsable() const { return shmUsable_; }
  void DisableShm();
  // A server-attached segment of at least `bytes`, grown as needed; null when MIT-SHM cannot be
  // used.
  const ShmSegment* EnsureShm(std::size_t bytes);
  // Detaches and frees the segment; the next EnsureShm makes a new one.
  void ReleaseShm() { shm_.Release(connection_); }

 private:
  explicit Session(xcb_connection_t* connection) : connection_(connection) {}

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  std::int32_t rootWidth_ = 0;
  std::int32_t rootHeight_ = 0;
  std::uint8_t rootDepth_ = 0;
  std::optional<PackedPixelLayout> layout_;
  int bitsPerPixel_ = 0;
  int scanlinePad_ = 0;
  xcb_atom_t atoms_[static_cast<int>(AtomId::kCount)] = {};
  bool hasRes_ = false;
  bool shmUsable_ = false;
  ShmSegment shm_;
};

// The calling thread's session, opened now when there is none or the previous one broke. Null
// when no X server can be reached; the next call tries again.
Session* ThreadSession();

// ThreadSession, after one round trip on a session that was open: a server that went away since
// the last use (killed, or replaced by a new server on the same display) shows up as a broken
// connection only when the socket is used, and then a new connection is opened at once.
Session* LiveThreadSession();

// Whether the calling thread holds a session right now. Never connects.
bool ThreadHasSession();

// Drops the calling thread's session (tests and benchmarks switch servers with it).
void CloseThreadSession();

}  // namespace tavrik::x11
