// Win32 backend helper: the session-wide names of our kernel objects and what a failed call
// means. Shared by shared_memory_win.cpp and worker_lock_win.cpp. Any thread.
#pragma once

#include <string>
#include <string_view>

#include "ipc/shared_memory.h"

namespace tavrik {

// "Local\<name>": the per-logon namespace the user interface opens the objects in.
std::wstring LocalObjectName(std::string_view name);

// GetLastError() of the failing call as an OpenStatus; `fallback` when the code means neither
// "not found" nor "access denied".
OpenStatus LastOpenStatus(OpenError fallback);

}  // namespace tavrik
