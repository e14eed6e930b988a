// POSIX: SCHED_IDLE where the kernel has it (Linux), else the lowest nice value of the thread.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include "base/thread_priority.h"

namespace tavrik {

bool LowerToIdlePriority() {
#ifdef SCHED_IDLE
  sched_param param{};
  param.sched_priority = 0;
  return pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
#else
  return setpriority(PRIO_PROCESS, 0, 19) == 0;
#endif
}

}  // namespace tavrik
