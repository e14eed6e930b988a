// POSIX backend of the speed benchmarks' processor clock.
#include <time.h>

#include "bench/speed_fixtures.h"

namespace tavrik::bench {

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace tavrik::bench
