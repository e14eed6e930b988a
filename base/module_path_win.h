// The full path of a loaded module, however long: GetModuleFileNameW cuts a path that does not
// fit its buffer without failing, so the buffer is grown until the whole path fits (up to the
// 32768 units a Windows path can have). Win32 backend only; ExecutableDirectory uses it, and the
// Windows tests call it on a module loaded from beyond MAX_PATH.
//
// Threads: any.
#pragma once

#include <windows.h>

#include <string>

namespace tavrik {

// The module's path (`module` null: the executable's); empty when the system cannot tell or the
// path is longer than 32767 units.
std::wstring ModuleFileName(HMODULE module);

}  // namespace tavrik
