// Win32 backend of producer_lock.h: a session-wide named mutex. An abandoned mutex (its last holder
// died while holding it) is ours all the same; the ring itself is never left half-published
// because the producer stores writeIndex only after the whole slot.
#include <windows.h>

#include <algorithm>

#include "ipc/producer_lock.h"

namespace tavrik {
namespace {
constexpr wchar_t kMutexName[] = L"Local\\CmdRingProducerLock";
}

void HeldLockTraits::Close(Value lock) noexcept {
  HANDLE mutex = reinterpret_cast<HANDLE>(lock);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

ProducerLock::Result ProducerLock::Acquire(const SharedMapping& cmdRing,
                                           std::chrono::milliseconds timeout, ProducerLock& out) {
  out.Release();
  if (!cmdRing.HasHandle()) return Result::kUnavailable;
  UniqueHandle<KernelHandleTraits> mutex(
      reinterpret_cast<NativeHandle>(CreateMutexW(nullptr, FALSE, kMutexName)));
  if (mutex.Get() == 0) {
    mutex.Release();
    return Result::kUnavailable;
  }
  const long long ms = std::clamp<long long>(timeout.count(), 0, INFINITE - 1);
  switch (WaitForSingleObject(reinterpret_cast<HANDLE>(mutex.Get()), static_cast<DWORD>(ms))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      out.lock_.Reset(mutex.Release());
      return Result::kAcquired;
    case WAIT_TIMEOUT:
      return Result::kTimedOut;
    default:
      return Result::kUnavailable;
  }
}

}  // namespace tavrik
