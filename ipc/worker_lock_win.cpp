// Win32 backend of worker_lock.h: the named mutex "Local\TavrikWorkerLock", owned by the worker.
#include <windows.h>

#include <algorithm>
#include <string>

#include "ipc/ring_layout.h"
#include "ipc/worker_lock.h"

namespace tavrik {
namespace {

std::wstring MutexName() {
  const std::string bare = kWorkerLockName;
  return L"Local\\" + std::wstring(bare.begin(), bare.end());
}

OpenStatus LastError(OpenError fallback) {
  const DWORD code = GetLastError();
  OpenError error = fallback;
  if (code == ERROR_FILE_NOT_FOUND) error = OpenError::kNotFound;
  if (code == ERROR_ACCESS_DENIED) error = OpenError::kNotOwned;
  return {error, static_cast<int>(code)};
}

}  // namespace

void WorkerLockTraits::Close(Value lock) noexcept {
  HANDLE mutex = reinterpret_cast<HANDLE>(lock);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

WorkerLock::Result WorkerLock::Acquire(WorkerLock& out, std::chrono::milliseconds patience) {
  out.Release();
  out.status_ = {};
  HANDLE mutex = CreateMutexW(nullptr, FALSE, MutexName().c_str());
  if (mutex == nullptr) {
    out.status_ = LastError(OpenError::kSystem);
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
      out.status_ = LastError(OpenError::kSystem);
      CloseHandle(mutex);
      return Result::kUnavailable;
  }
}

WorkerLiveness QueryWorkerLiveness(OpenStatus* status) {
  OpenStatus local;
  OpenStatus& result = status != nullptr ? *status : local;
  result = {};
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, MutexName().c_str());
  if (mutex == nullptr) {
    result = LastError(OpenError::kSystem);
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
      result = LastError(OpenError::kSystem);
      break;
  }
  CloseHandle(mutex);
  return liveness;
}

}  // namespace tavrik
