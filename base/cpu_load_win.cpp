// Win32: GetSystemTimes (its kernel time includes idle time) and GetProcessTimes, in 100 ns.
#include <windows.h>

#include "base/cpu_load.h"

namespace tavrik {
namespace {

std::uint64_t Ticks(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

bool ReadCpuTimes(CpuTimes& times) {
  FILETIME idle{}, kernel{}, user{};
  if (!GetSystemTimes(&idle, &kernel, &user)) return false;
  FILETIME created{}, exited{}, processKernel{}, processUser{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &processKernel, &processUser)) {
    return false;
  }
  times.systemTotal = Ticks(kernel) + Ticks(user);
  times.systemBusy = times.systemTotal - Ticks(idle);
  times.process = Ticks(processKernel) + Ticks(processUser);
  return true;
}

}  // namespace tavrik
