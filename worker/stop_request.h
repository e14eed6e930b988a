// How the system asks the worker to stop: on POSIX, SIGTERM and SIGINT. Each becomes a stop
// request on a std::stop_source that the DetectionLoop and the CommandThread watch, so that the
// worker ends in its own order (the loop, then the CommandThread after its current command, then
// the rings) instead of dying wherever the signal found it.
//
// A second signal while the worker is stopping ends the process at once, as the signal would have
// without this: someone who presses Ctrl-C twice means it. Windows has no such signals for a
// windowless process; there the worker runs until it is terminated, and this does nothing.
//
// Threads: construct on the main thread before any other thread exists (the signals are blocked
// in every thread created afterwards), then Watch once: a waiting thread of its own takes them.
// Destroy on the same thread.
#pragma once

#include <stop_token>
#include <thread>

#include "base/log_sink.h"

namespace tavrik {

class StopRequests {
 public:
  // Blocks the stop signals in this thread and so in every thread it creates from now on.
  StopRequests();
  ~StopRequests();
  // From now on each stop signal is a stop request on `source`; the first one is logged.
  void Watch(std::stop_source source, const LogSink& log);
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

 private:
  std::jthread waiter_;
};

}  // namespace tavrik
