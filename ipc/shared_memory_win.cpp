// Win32 backend of shared_memory.h: paging-file backed file mappings and auto-reset events in the
// session's "Local\" namespace, the objects the peer process opens by the same names.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "base/utf.h"
#include "ipc/object_access_win.h"
#include "ipc/shared_memory.h"

namespace tavrik {

std::wstring LocalObjectName(std::string_view name) {
  std::wstring wide = L"Local\\";
  for (char16_t unit : Utf8ToUtf16(name)) wide += static_cast<wchar_t>(unit);
  return wide;
}

OpenStatus LastOpenStatus(OpenError fallback) {
  const DWORD code = GetLastError();
  OpenError error = fallback;
  if (code == ERROR_FILE_NOT_FOUND) error = OpenError::kNotFound;
  if (code == ERROR_ACCESS_DENIED) error = OpenError::kNotOwned;
  return {error, static_cast<int>(code)};
}

void KernelHandleTraits::Close(Value handle) noexcept {
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void MappedViewTraits::Close(Value view) noexcept { UnmapViewOfFile(view.address); }

void EventTraits::Close(Value event) noexcept { CloseHandle(static_cast<HANDLE>(event)); }

std::string CurrentIpcNamespace() { return "Local"; }

SharedMapping SharedMapping::Open(std::string_view name, std::size_t bytes, OpenMode mode) {
  SharedMapping mapping;
  if (name.empty() || bytes == 0) {
    mapping.status_ = {OpenError::kBadName, ERROR_INVALID_NAME};
    return mapping;
  }
  const std::wstring object = LocalObjectName(name);
  const auto size = static_cast<unsigned long long>(bytes);
  HANDLE handle =
      mode == OpenMode::kOpenExisting
          ? OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, object.c_str())
          : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                               static_cast<DWORD>(size >> 32),
                               static_cast<DWORD>(size & 0xFFFFFFFFULL), object.c_str());
  if (handle == nullptr) {
    mapping.status_ = LastOpenStatus(OpenError::kSystem);
    return mapping;
  }
  const bool existed = mode == OpenMode::kOpenExisting || GetLastError() == ERROR_ALREADY_EXISTS;
  mapping.handle_.Reset(reinterpret_cast<NativeHandle>(handle));
  // An existing mapping smaller than `bytes` makes the view fail: handle without view.
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, bytes);
  if (view == nullptr) {
    mapping.status_ = {existed ? OpenError::kTooSmall : OpenError::kMapFailed,
                       static_cast<int>(GetLastError())};
    return mapping;
  }
  mapping.view_.Reset(MappedView{view, bytes});
  return mapping;
}

// Sections keep the size they were created with: nothing can cut a view short.
bool SharedMapping::Lost() const { return false; }

SharedMapping::Restore SharedMapping::RestoreIfLost() { return Restore::kIntact; }

SharedMapping::Restore SharedMapping::RestoreIfCutShort(std::uint64_t*) { return Restore::kIntact; }

NamedEvent NamedEvent::Open(std::string_view name, OpenMode mode) {
  NamedEvent event;
  if (name.empty()) {
    event.status_ = {OpenError::kBadName, ERROR_INVALID_NAME};
    return event;
  }
  const std::wstring object = LocalObjectName(name);
  HANDLE handle = mode == OpenMode::kOpenExisting
                      ? OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, object.c_str())
                      : CreateEventW(nullptr, FALSE, FALSE, object.c_str());
  if (handle == nullptr) {
    event.status_ = LastOpenStatus(OpenError::kSystem);
    return event;
  }
  event.native_.Reset(handle);
  return event;
}

void NamedEvent::Signal() const {
  if (native_.Valid()) SetEvent(static_cast<HANDLE>(native_.Get()));
}

bool NamedEvent::Wait(std::chrono::milliseconds timeout) const {
  if (!native_.Valid()) return false;
  // INFINITE is 0xFFFFFFFF; longer finite waits are capped just below it.
  const long long ms = std::clamp<long long>(timeout.count(), 0, INFINITE - 1);
  return WaitForSingleObject(static_cast<HANDLE>(native_.Get()), static_cast<DWORD>(ms)) ==
         WAIT_OBJECT_0;
}

}  // namespace tavrik
