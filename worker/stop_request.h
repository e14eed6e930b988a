// How the system asks the worker to stop: on POSIX, SIGTERM and SIGINT. Each becomes a stop
// request on a std::stop_source that the DetectionLoop and the CommandThread watch, so that the
// worker ends in its own order (the loop, then the CommandThread after its current command, then
// the rings) instead of dying wherever the signal found it.
//
// A second signal while the worker is stopping ends the process at once, as the signal would have
// without this: someone who presses Ctrl-C twice means it. Windows has no such signals for a
// windowless process; there the worker runs until it is terminated, and this does nothing.
//
// A client that starts its own worker wants it gone when the client dies, however it dies
// (SIGKILL included), and a dead client sends no signal. So a starter may set TAVRIK_PARENT_PID to
// its own process id: the worker then watches that process, which must be its parent, and a stop
// request follows within about 100 ms of its end. The watch is a pidfd (Linux 5.3 and later), taken
// while the process is still our parent and so cannot stand for a reused id; older kernels fall
// back to noticing the re-parenting (getppid changes exactly when the parent ends). Without the
// variable nothing is watched. On Windows a starter uses a job object instead, and the variable is
// ignored.
//
// Threads: construct on the main thread before any other thread exists (the signals are blocked
// in every thread created afterwards), then WatchParentFromEnvironment and Watch once each: a
// waiting thread of its own takes the signals and watches the parent. Destroy on the same thread.
#pragma once

#include <stop_token>
#include <string>
#include <thread>

#include "base/log_sink.h"
#include "base/unique_handle.h"

namespace tavrik {

// A process descriptor of the watched parent (POSIX); closed by the platform file.
struct ParentHandleTraits {
  using Value = int;
  static constexpr int Invalid() noexcept { return -1; }
  static void Close(int value) noexcept;
};

class StopRequests {
 public:
  // Blocks the stop signals in this thread and so in every thread it creates from now on.
  StopRequests();
  ~StopRequests();
  // From now on each stop signal is a stop request on `source`; the first one is logged.
  void Watch(std::stop_source source, const LogSink& log);
  // Takes TAVRIK_PARENT_PID, when set, as the parent to watch once Watch runs. False, with the
  // reason in `error`, when it is not a process id or not this process's parent (which it no
  // longer is when the parent has already ended). Call before Watch.
  bool WatchParentFromEnvironment(std::string& error);
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

 private:
  UniqueHandle<ParentHandleTraits> parentHandle_;
  int parentPid_ = 0;  // 0: no parent watched
  std::jthread waiter_;
};

}  // namespace tavrik
