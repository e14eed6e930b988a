// Named shared memory and named auto-reset events: the two kernel objects the rings are built on.
//
// Portable code names objects by their bare name ("CmdRingMMF"); each backend places the name in
// its per-session namespace:
//   Win32  "Local\<name>"  (CreateFileMappingW / CreateEventW)
//   POSIX  "/<ns>-<name>"  (shm_open / sem_open), <ns> = $TAVRIK_IPC_NAMESPACE or "tavrik-<uid>"
// Opening never fails loudly: the result lacks a handle or a view, and says why (an OpenError
// plus the errno or GetLastError value behind it). Both types are move-only and release what they
// hold in a fixed order, however far the open got: the view, then the handle.
//
// A POSIX object can be cut short by any process of its owner (ftruncate, `truncate -s 0`), and
// touching a page of a view that lies past the object's new end raises SIGBUS. Every view is
// therefore guarded: such a fault swaps the whole view for private zero pages (reads give zeros,
// writes reach nobody), marks it lost, and the access carries on. Its owner notices Lost(), and
// RestoreIfLost gives the object back its size and maps it again at the same address; whatever the
// ring held is gone. An object cut short where nobody has touched it yet raises no fault at all,
// so the owner of a ring also asks RestoreIfCutShort, which looks at the object's size. Only a
// fault of the kernel's (an access past the end of an object) inside a guarded view is mended; any
// other SIGBUS, one sent with kill(2) included, ends the process as SIGBUS does without a handler
// (or is ignored, when it was ignored before the guard came). A Win32 section cannot shrink, so
// there views are never lost.
//
// Threads: an object may be used from one thread at a time, except NamedEvent::Signal and
// NamedEvent::Wait, which may be called concurrently from any threads (the kernel object is the
// synchronisation), and SharedMapping::Lost, which any thread may ask.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_handle.h"

namespace tavrik {

// Kernel handle as an integer: a file descriptor on POSIX, a HANDLE value on Win32.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

enum class OpenMode {
  kCreateOrOpen,  // the worker's way: create the object, or open the one a peer created
  kOpenExisting,  // a client's way: fail when nobody has created it yet
};

// Why opening a named object failed.
enum class OpenError {
  kNone,
  kBadName,    // the namespace or name cannot form an object name
  kNotFound,   // kOpenExisting, and nobody created it
  kNotOwned,   // it exists but belongs to another user
  kTooSmall,   // an existing mapping is smaller than asked: handle without view
  kMapFailed,  // the view could not be mapped
  kSystem,     // any other refusal; see the system error
};

struct OpenStatus {
  OpenError error = OpenError::kNone;
  int systemError = 0;  // errno or GetLastError() of the failing call, 0 when none
};

// "not found", "owned by another user", ... for messages.
std::string_view DescribeOpenError(OpenError error);

// Owns the handle (descriptor) of a named object. Close is defined by each backend.
struct KernelHandleTraits {
  using Value = NativeHandle;
  static constexpr Value Invalid() noexcept { return kNoHandle; }
  static void Close(Value handle) noexcept;
};

// Owns a mapped view. Close (unmap) is defined by each backend.
struct MappedView {
  void* address = nullptr;
  std::size_t size = 0;
  friend bool operator==(const MappedView&, const MappedView&) = default;
};
struct MappedViewTraits {
  using Value = MappedView;
  static constexpr Value Invalid() noexcept { return MappedView{}; }
  static void Close(Value view) noexcept;
};

class SharedMapping {
 public:
  SharedMapping() = default;

  // Creates (zero-filled) or opens the named mapping and maps `bytes` of it read-write. An
  // existing mapping keeps its contents. One smaller than `bytes` (cut short by another process)
  // is grown to `bytes` with kCreateOrOpen, the ring owner's way, and GrownFrom() says so; with
  // kOpenExisting it yields a handle without a view (kTooSmall).
  static SharedMapping Open(std::string_view name, std::size_t bytes,
                            OpenMode mode = OpenMode::kCreateOrOpen);

  bool HasHandle() const { return handle_.Valid(); }
  // Stays at the same address for the mapping's life, restored or not.
  void* View() const { return view_.Get().address; }
  std::size_t Size() const { return view_.Get().size; }
  NativeHandle Handle() const { return handle_.Get(); }
  const OpenStatus& Status() const { return status_; }
  // The size an existing object had when Open grew it; nullopt when Open did not grow it.
  std::optional<std::uint64_t> GrownFrom() const { return grownFrom_; }

  // True while the view stands in for an object that another process cut short.
  bool Lost() const;

  enum class Restore {
    kIntact,    // the view was never lost
    kRestored,  // it was: the object has its size again and the view maps it, zero-filled
    kLost,      // it was, and could not be restored (tried again on the next call)
  };
  // Mends a lost view; see the top of this file.
  Restore RestoreIfLost();
  // As RestoreIfLost, and also grows back an object that is shorter than the view although no
  // fault has marked the view (one fstat when nothing is wrong). kRestored leaves in `sizeFound`
  // the object's size as it was found. The bytes the cut left keep their contents; the rest reads
  // zeros. For the ring's owner.
  Restore RestoreIfCutShort(std::uint64_t* sizeFound = nullptr);

  // Unmaps the view, then closes the handle, skipping what is absent.
  void Reset() {
    view_.Reset();
    handle_.Reset();
  }

 private:
  // Declaration order gives the release order: the view goes before the handle.
  UniqueHandle<KernelHandleTraits> handle_;
  UniqueHandle<MappedViewTraits> view_;
  OpenStatus status_;
  std::optional<std::uint64_t> grownFrom_;
};

// Owns the native event object (sem_t* or HANDLE). Close is defined by each backend.
struct EventTraits {
  using Value = void*;
  static constexpr Value Invalid() noexcept { return nullptr; }
  static void Close(Value event) noexcept;
};

class NamedEvent {
 public:
  NamedEvent() = default;

  // Creates or opens the named auto-reset event, initially not signalled.
  static NamedEvent Open(std::string_view name, OpenMode mode = OpenMode::kCreateOrOpen);

  bool Valid() const { return native_.Valid(); }
  const OpenStatus& Status() const { return status_; }

  // Sets the event. Setting an event that is already set changes nothing. Any thread; never
  // blocks.
  void Signal() const;
  // Waits until the event is set or the timeout passes; a set event is consumed (auto-reset).
  // Returns true when it was set. Any thread; blocks the caller for at most `timeout`.
  bool Wait(std::chrono::milliseconds timeout) const;

  void Reset() { native_.Reset(); }

 private:
  UniqueHandle<EventTraits> native_;
  OpenStatus status_;
};

// The namespace rule, the same in the worker, tavrik-ctl and both client libraries: 1 to 64 ASCII
// letters, digits, '.', '_' or '-', the first not '.'. Every name formed from it stays one plain
// file name in /dev/shm ("sem.<ns>-CmdRingEvent" is at most 81 characters).
inline constexpr std::size_t kMaxIpcNamespaceChars = 64;
inline constexpr char kIpcNamespaceRule[] =
    "1 to 64 ASCII letters, digits, '.', '_' or '-', not starting with '.'";
// True when `ns` follows the rule. Pure.
bool IsValidIpcNamespace(std::string_view ns);

// The POSIX object name for a bare name, "/<ns>-<name>", or empty when the namespace breaks the
// rule or the name cannot be part of a file name. Pure; used by the POSIX backend and by tests.
std::string PosixObjectName(std::string_view ns, std::string_view name);
// The namespace in force: $TAVRIK_IPC_NAMESPACE when set and non-empty, else "tavrik-<real uid>".
// On Win32 it is always "Local" (the session namespace; the variable is ignored there). The value
// is returned as it is; IsValidIpcNamespace tells whether it can be used.
std::string CurrentIpcNamespace();

}  // namespace tavrik
