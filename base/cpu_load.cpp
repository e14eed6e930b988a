#include "base/cpu_load.h"

#include <algorithm>

namespace tavrik {

double FreeCoresBetween(const CpuTimes& from, const CpuTimes& to, int cores) {
  if (to.systemTotal <= from.systemTotal || to.systemBusy < from.systemBusy ||
      to.process < from.process) {
    return cores;
  }
  const double total = static_cast<double>(to.systemTotal - from.systemTotal);
  const double busy = static_cast<double>(to.systemBusy - from.systemBusy);
  const double ours = static_cast<double>(to.process - from.process);
  const double others = std::max(busy - ours, 0.0) / total * cores;
  return std::clamp(cores - others, 0.0, static_cast<double>(cores));
}

double CpuLoad::FreeCores(int cores) {
  CpuTimes now;
  const bool read = ReadCpuTimes(now);
  const double free = read && valid_ ? FreeCoresBetween(last_, now, cores) : cores;
  last_ = now;
  valid_ = read;
  return free;
}

}  // namespace tavrik
