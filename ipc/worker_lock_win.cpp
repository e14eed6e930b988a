// Win32 backend of worker_lock.h: the named mutex "Local\TavrikWorkerLock", owned by the worker.
#include <windows.h>

#include <algorithm>

#include "ipc/object_access_win.h"
#include "ipc/ring_layout.h"
#include "ipc/worker_lock.h"

namespace tavrik {
WorkerLock::Result WorkerLock::Acquire(WorkerLock& out, std::chrono::milliseconds patience) {
  out.Release();
  out.status_ = {};
  HANDLE mutex = CreateMutexW(nullptr, FALSE, LocalObjectName(kWorkerLockName).c_str());
  if (mutex == nullptr) {
    out.status_ = LastOpenStatus(OpenError::kSystem);
    return Result::kUnavailable;
  }
  // A client's probe owns the mutex only for an instant; waiting outlasts it.
  const long long ms = std::clamp<long long>(patience.count(), 0, INFINITE - 1);
  switch (WaitForSingleObject(mutex, static_cast<DWORD>(ms))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // the previous worker died holding it: ours all the same
      out.lock_.Reset(reinterpret_cast<NativeHandle>(mutex));
      return Result::kAcquired;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      return Result::kTaken;
    default:
      out.status_ = LastOpenStatus(OpenError::kSystem);
      CloseHandle(mutex);
      return Result::kUnavailable;
  }
}

WorkerLiveness QueryWorkerLiveness(OpenStatus* status) {
  OpenStatus local;
  OpenStatus& result = status != nullptr ? *status : local;
  result = {};
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, LocalObjectName(kWorkerLockName).c_str());
  if (mutex == nullptr) {
    result = LastOpenStatus(OpenError::kSystem);
    if (result.error != OpenError::kNotFound) return WorkerLiveness::kUnknown;
    result = {};
    return WorkerLiveness::kNotRunning;
  }
  WorkerLiveness liveness = WorkerLiveness::kUnknown;
  switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_TIMEOUT:
      liveness = WorkerLiveness::kRunning;
      break;
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      ReleaseMutex(mutex);  // nobody held it: give it back at once
      liveness = WorkerLiveness::kNotRunning;
      break;
    default:
      result = LastOpenStatus(OpenError::kSystem);
      break;
  }
  CloseHandle(mutex);
  return liveness;
}

}  // namespace tavrik
