// POSIX (Linux): /proc/stat's first line and the process's own /proc/self/stat, both in clock
// ticks.
#include <cstdio>

#include "base/cpu_load.h"

namespace tavrik {

bool ReadCpuTimes(CpuTimes& times) {
  std::FILE* stat = std::fopen("/proc/stat", "r");
  if (stat == nullptr) return false;
  unsigned long long v[8] = {};
  const int got = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1],
                              &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
  std::fclose(stat);
  if (got < 5) return false;
  const unsigned long long idle = v[3] + v[4];  // idle and iowait
  unsigned long long total = 0;
  for (const unsigned long long x : v) total += x;
  std::FILE* self = std::fopen("/proc/self/stat", "r");
  if (self == nullptr) return false;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  // pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  const int fields = std::fscanf(self, "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                 &utime, &stime);
  std::fclose(self);
  if (fields != 2) return false;
  times.systemBusy = total - idle;
  times.systemTotal = total;
  times.process = utime + stime;
  return true;
}

}  // namespace tavrik
