// The two clocks of the worker: a monotonic clock for scheduling and the wall clock for the time
// stamps the peer reads. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>

namespace tavrik {

// Steady-clock nanoseconds; never goes backwards.
inline std::int64_t MonotonicNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Wall-clock milliseconds since 1970-01-01 00:00 UTC, truncated.
inline std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline constexpr std::int64_t kNsPerMs = 1'000'000;

}  // namespace tavrik
