// Win32: THREAD_PRIORITY_IDLE, the lowest priority of the process's class.
#include <windows.h>

#include "base/thread_priority.h"

namespace tavrik {

bool LowerToIdlePriority() {
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE) != 0;
}

}  // namespace tavrik
