// Win32 producer lock: a session-wide named mutex. An abandoned mutex (its last holder died while
// holding it) is ours all the same; the ring itself is never left half-published because the
// producer stores writeIndex only after the whole slot.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "ipc/producer_lock.h"

namespace tavrik {
namespace {
constexpr wchar_t kMutexName[] = L"Local\\CmdRingProducerLock";
}

ProducerLock::ProducerLock(ProducerLock&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)) {}

ProducerLock& ProducerLock::operator=(ProducerLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNoHandle);
  }
  return *this;
}

ProducerLock::~ProducerLock() { Release(); }

ProducerLock::Result ProducerLock::Acquire(const SharedMapping& cmdRing,
                                           std::chrono::milliseconds timeout, ProducerLock& out) {
  out.Release();
  if (!cmdRing.HasHandle()) return Result::kUnavailable;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
  if (mutex == nullptr) return Result::kUnavailable;
  const long long ms = std::clamp<long long>(timeout.count(), 0, INFINITE - 1);
  switch (WaitForSingleObject(mutex, static_cast<DWORD>(ms))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      out.handle_ = reinterpret_cast<NativeHandle>(mutex);
      return Result::kAcquired;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      return Result::kTimedOut;
    default:
      CloseHandle(mutex);
      return Result::kUnavailable;
  }
}

void ProducerLock::Release() {
  if (handle_ == kNoHandle) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  handle_ = kNoHandle;
}

}  // namespace tavrik
