// Win32 backend of the speed benchmarks' processor clock.
#include <windows.h>

#include "bench/speed_fixtures.h"

namespace tavrik::bench {

double ProcessCpuSeconds() {
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 1e-7;  // 100 ns units
}

}  // namespace tavrik::bench
