// Win32 backend: paging-file backed file mappings and auto-reset events in the session's "Local\"
// namespace, the objects the peer process opens by the same names.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "base/utf.h"
#include "ipc/shared_memory.h"

namespace tavrik {
namespace {

std::wstring LocalObjectName(std::string_view name) {
  std::wstring wide = L"Local\\";
  for (char16_t unit : Utf8ToUtf16(name)) wide += static_cast<wchar_t>(unit);
  return wide;
}

HANDLE AsHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

std::string CurrentIpcNamespace() { return "Local"; }

SharedMapping SharedMapping::Open(std::string_view name, std::size_t bytes, OpenMode mode) {
  SharedMapping mapping;
  if (name.empty() || bytes == 0) return mapping;
  const std::wstring object = LocalObjectName(name);
  const auto size = static_cast<unsigned long long>(bytes);
  HANDLE handle =
      mode == OpenMode::kOpenExisting
          ? OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, object.c_str())
          : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                               static_cast<DWORD>(size >> 32),
                               static_cast<DWORD>(size & 0xFFFFFFFFULL), object.c_str());
  if (handle == nullptr) return mapping;
  mapping.handle_ = reinterpret_cast<NativeHandle>(handle);
  // An existing mapping smaller than `bytes` makes the view fail: handle without view.
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, bytes);
  if (view == nullptr) return mapping;
  mapping.view_ = view;
  mapping.size_ = bytes;
  return mapping;
}

void SharedMapping::Reset() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
  view_ = nullptr;
  size_ = 0;
  if (handle_ != kNoHandle) CloseHandle(AsHandle(handle_));
  handle_ = kNoHandle;
}

NamedEvent NamedEvent::Open(std::string_view name, OpenMode mode) {
  NamedEvent event;
  if (name.empty()) return event;
  const std::wstring object = LocalObjectName(name);
  HANDLE handle = mode == OpenMode::kOpenExisting
                      ? OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, object.c_str())
                      : CreateEventW(nullptr, FALSE, FALSE, object.c_str());
  event.native_ = handle;  // NULL on failure, which is the "no event" value
  return event;
}

void NamedEvent::Signal() const {
  if (native_ != nullptr) SetEvent(static_cast<HANDLE>(native_));
}

bool NamedEvent::Wait(std::chrono::milliseconds timeout) const {
  if (native_ == nullptr) return false;
  // INFINITE is 0xFFFFFFFF; longer finite waits are capped just below it.
  const long long ms = std::clamp<long long>(timeout.count(), 0, INFINITE - 1);
  return WaitForSingleObject(static_cast<HANDLE>(native_), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

void NamedEvent::Reset() {
  if (native_ != nullptr) CloseHandle(static_cast<HANDLE>(native_));
  native_ = nullptr;
}

}  // namespace tavrik
