// Named shared memory and named auto-reset events: the two kernel objects the rings are built on.
//
// Portable code names objects by their bare name ("CmdRingMMF"); each backend places the name in
// its per-session namespace:
//   Win32  "Local\<name>"  (CreateFileMappingW / CreateEventW)
//   POSIX  "/<ns>-<name>"  (shm_open / sem_open), <ns> = $TAVRIK_IPC_NAMESPACE or "tavrik-<uid>"
// Opening never fails loudly: the result simply lacks a handle or a view, and callers test for
// that. Both types are move-only and release whatever they hold, in a fixed order, however far
// the open got.
//
// Threads: an object may be used from one thread at a time, except NamedEvent::Signal and
// NamedEvent::Wait, which the kernel object makes safe to call concurrently.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik {

// Kernel handle as an integer: a file descriptor on POSIX, a HANDLE value on Win32.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

enum class OpenMode {
  kCreateOrOpen,  // the worker's way: create the object, or open the one a peer created
  kOpenExisting,  // a client's way: fail when nobody has created it yet
};

class SharedMapping {
 public:
  SharedMapping() = default;
  SharedMapping(SharedMapping&& other) noexcept;
  SharedMapping& operator=(SharedMapping&& other) noexcept;
  SharedMapping(const SharedMapping&) = delete;
  SharedMapping& operator=(const SharedMapping&) = delete;
  ~SharedMapping();

  // Creates (zero-filled) or opens the named mapping and maps `bytes` of it read-write. An
  // existing mapping keeps its contents; one smaller than `bytes` yields a handle without a view.
  static SharedMapping Open(std::string_view name, std::size_t bytes,
                            OpenMode mode = OpenMode::kCreateOrOpen);

  bool HasHandle() const { return handle_ != kNoHandle; }
  void* View() const { return view_; }
  std::size_t Size() const { return size_; }
  NativeHandle Handle() const { return handle_; }

  // Unmaps the view, then closes the handle, skipping what is absent.
  void Reset();

 private:
  NativeHandle handle_ = kNoHandle;
  void* view_ = nullptr;
  std::size_t size_ = 0;
};

class NamedEvent {
 public:
  NamedEvent() = default;
  NamedEvent(NamedEvent&& other) noexcept;
  NamedEvent& operator=(NamedEvent&& other) noexcept;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  ~NamedEvent();

  // Creates or opens the named auto-reset event, initially not signalled.
  static NamedEvent Open(std::string_view name, OpenMode mode = OpenMode::kCreateOrOpen);

  bool Valid() const { return native_ != nullptr; }
  // Sets the event. Setting an event that is already set changes nothing.
  void Signal() const;
  // Waits until the event is set or the timeout passes; a set event is consumed (auto-reset).
  // Returns true when it was set.
  bool Wait(std::chrono::milliseconds timeout) const;

  void Reset();

 private:
  void* native_ = nullptr;  // sem_t* or HANDLE
};

// The POSIX object name for a bare name, "/<ns>-<name>", or empty when the namespace cannot form a
// valid object name (it contains '/', or the result is too long). Pure; used by the POSIX backend
// and by tests.
std::string PosixObjectName(std::string_view ns, std::string_view name);
// The namespace in force: $TAVRIK_IPC_NAMESPACE when set and non-empty, else "tavrik-<real uid>".
// On Win32 it is always "Local" (the session namespace; the variable is ignored there).
std::string CurrentIpcNamespace();

}  // namespace tavrik
