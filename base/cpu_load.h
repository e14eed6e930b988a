// How busy the machine's processors are with work other than ours: the evaluation pool takes a
// core for a helper only when the others left it free in the last interval, so that the worker
// never competes with the user's programs for the cores they use.
//
// Threads: any thread; a CpuLoad object belongs to one.
#pragma once

#include <cstdint>

namespace tavrik {

// Processor time in one unit (the system's own ticks): all processors' busy and total time, and
// this process's.
struct CpuTimes {
  std::uint64_t systemBusy = 0;
  std::uint64_t systemTotal = 0;
  std::uint64_t process = 0;
};
// False when the system does not say.
bool ReadCpuTimes(CpuTimes& times);

// The cores (of `cores`) that programs other than this one left free between readings `from` and
// `to`; `cores` when the readings do not say (none, or out of order).
double FreeCoresBetween(const CpuTimes& from, const CpuTimes& to, int cores);

// FreeCoresBetween from one call to the next.
class CpuLoad {
 public:
  // The cores (of `cores`) that others left free since the previous call, or `cores` at the first
  // call and whenever the system does not say.
  double FreeCores(int cores);

 private:
  CpuTimes last_;
  bool valid_ = false;
};

}  // namespace tavrik
