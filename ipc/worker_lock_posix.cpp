// POSIX backend of worker_lock.h: a datagram socket bound to an abstract UNIX socket name.
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "ipc/worker_lock.h"

namespace tavrik {
namespace {

// The address of the current namespace's liveness name: AF_UNIX, a NUL (the abstract namespace),
// then "<ns>-TavrikWorkerLock" without a terminator. False when the namespace breaks the rule.
bool LivenessAddress(sockaddr_un& address, socklen_t& length) {
  const std::string name = WorkerLockSocketName(CurrentIpcNamespace());
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) return false;
  address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

int NewSocket(OpenStatus& status) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) status = {OpenError::kSystem, errno};
  return fd;
}

}  // namespace

WorkerLock::Result WorkerLock::Acquire(WorkerLock& out, std::chrono::milliseconds patience) {
  out.Release();
  out.status_ = {};
  sockaddr_un address{};
  socklen_t length = 0;
  if (!LivenessAddress(address, length)) {
    out.status_ = {OpenError::kBadName, EINVAL};
    return Result::kUnavailable;
  }
  const int fd = NewSocket(out.status_);
  if (fd < 0) return Result::kUnavailable;
  UniqueHandle<HeldLockTraits> held(fd);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      // Nobody ever reads from the socket: with its receiving side shut, a peer that sends to it
      // gets EPIPE instead of filling a queue.
      ::shutdown(fd, SHUT_RD);
      out.lock_ = std::move(held);
      return Result::kAcquired;
    }
    if (errno != EADDRINUSE) {
      out.status_ = {OpenError::kSystem, errno};
      return Result::kUnavailable;
    }
    // A worker that is stopping frees the name when its process ends; a running one never does.
    if (std::chrono::steady_clock::now() >= deadline) return Result::kTaken;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

WorkerLiveness QueryWorkerLiveness(OpenStatus* status) {
  OpenStatus local;
  OpenStatus& result = status != nullptr ? *status : local;
  result = {};
  sockaddr_un address{};
  socklen_t length = 0;
  if (!LivenessAddress(address, length)) {
    result = {OpenError::kBadName, EINVAL};
    return WorkerLiveness::kUnknown;
  }
  const int fd = NewSocket(result);
  if (fd < 0) return WorkerLiveness::kUnknown;
  const UniqueHandle<KernelHandleTraits> probe(fd);
  // Connecting a datagram socket only checks that the name is bound; nothing is queued or held.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    return WorkerLiveness::kRunning;
  }
  switch (errno) {
    case ECONNREFUSED:
      return WorkerLiveness::kNotRunning;
    case EPROTOTYPE:  // bound by a socket of another kind: no worker can start either
      return WorkerLiveness::kRunning;
    default:
      result = {OpenError::kSystem, errno};
      return WorkerLiveness::kUnknown;
  }
}

}  // namespace tavrik
