// POSIX backend of stop_request.h: SIGTERM and SIGINT, blocked everywhere and taken by
// sigtimedwait.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "worker/stop_request.h"

namespace tavrik {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// Lets `signal` do what it does by default: end the process.
[[noreturn]] void DieOf(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::kill(::getpid(), signal);
  ::_exit(128 + signal);  // not reached
}

}  // namespace

StopRequests::StopRequests() {
  // Blocked before any other thread exists, so that every later thread inherits the mask and the
  // signals wait for the thread that Watch starts instead of ending the process.
  const sigset_t set = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StopRequests::Watch(std::stop_source source, const LogSink& log) {
  waiter_ = std::jthread([source, log, set = StopSignals()](std::stop_token done) mutable {
    const timespec poll{0, 100'000'000};  // how soon the destructor is noticed
    while (!done.stop_requested()) {
      const int signal = ::sigtimedwait(&set, nullptr, &poll);
      if (signal <= 0) continue;
      if (source.stop_requested()) DieOf(signal);
      log.Emit(std::string("[Init] Stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
               ".");
      source.request_stop();
    }
  });
}

StopRequests::~StopRequests() {
  if (!waiter_.joinable()) return;
  waiter_.request_stop();
  waiter_.join();
}

}  // namespace tavrik
