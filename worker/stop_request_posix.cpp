// POSIX backend of stop_request.h: SIGTERM and SIGINT, blocked everywhere and taken by
// sigtimedwait; the parent watched through a pidfd (or getppid on kernels without pidfd_open).
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "base/line_escape.h"
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

// True once the watched parent has ended: its pidfd reads ready, or (without one) this process
// has been handed to another parent.
bool ParentEnded(int pidfd, int pid) {
  if (pidfd < 0) return ::getppid() != pid;
  pollfd ready{pidfd, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

}  // namespace

void ParentHandleTraits::Close(int value) noexcept { ::close(value); }

bool StopRequests::WatchParentFromEnvironment(std::string& error) {
  const char* value = std::getenv("TAVRIK_PARENT_PID");
  if (value == nullptr || *value == '\0') return true;
  const std::string_view text(value);
  int pid = 0;
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (status != std::errc() || end != text.data() + text.size() || pid <= 1) {
    error = "TAVRIK_PARENT_PID '" + LineSafe(text) + "' is not a process id";
    return false;
  }
#ifdef SYS_pidfd_open
  const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
#else
  const long pidfd = -1;
#endif
  UniqueHandle<ParentHandleTraits> handle(static_cast<int>(pidfd));
  // Checked after the pidfd exists: a process that is still our parent has not been reaped, so
  // its id was not reused and the pidfd stands for it.
  if (const int parent = static_cast<int>(::getppid()); parent != pid) {
    error = "TAVRIK_PARENT_PID names process " + std::to_string(pid) +
            ", which is not the worker's parent (process " + std::to_string(parent) +
            "); it may have ended already";
    return false;
  }
  parentHandle_ = std::move(handle);
  parentPid_ = pid;
  return true;
}

StopRequests::StopRequests() {
  // Blocked before any other thread exists, so that every later thread inherits the mask and the
  // signals wait for the thread that Watch starts instead of ending the process.
  const sigset_t set = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StopRequests::Watch(std::stop_source source, const LogSink& log) {
  waiter_ = std::jthread([source, log, set = StopSignals(), pidfd = parentHandle_.Get(),
                          pid = parentPid_](std::stop_token done) mutable {
    // How soon the destructor, and the end of a watched parent, are noticed.
    const timespec poll{0, 100'000'000};
    bool parentWatched = pid != 0;
    while (!done.stop_requested()) {
      if (parentWatched && ParentEnded(pidfd, pid)) {
        parentWatched = false;
        if (!source.stop_requested()) {
          log.Emit("[Init] Stopping: the parent process " + std::to_string(pid) + " ended.");
          source.request_stop();
        }
      }
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
