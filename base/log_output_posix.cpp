// POSIX backend of log_output.h: non-blocking opens, blocking writes on the writer thread only.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "base/log_output.h"

namespace tavrik {
namespace {

// O_NONBLOCK makes opening a FIFO without a reader fail with ENXIO instead of waiting for one,
// and keeps opening a device from waiting for it.
int OpenForAppending(const std::string& path, int extraFlags) {
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags, 0666);
  if (fd < 0) return -1;
  // From here on only the writer thread writes, and it may wait: a full FIFO then holds up that
  // thread alone rather than failing every write at once.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// A write into a pipe without a reader raises SIGPIPE at the writing thread. The writer thread
// blocks it, so it stays pending there; take it so that it never reaches anyone later.
void DiscardPendingSigpipe() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const timespec now{0, 0};
  while (::sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
  }
}

}  // namespace

void LogFileTraits::Close(Value file) noexcept { ::close(static_cast<int>(file)); }

std::unique_ptr<LogOutput> LogOutput::Open(std::string_view spec) {
  std::unique_ptr<LogOutput> output(new LogOutput());
  if (spec == "stderr") {
    if (::fcntl(STDERR_FILENO, F_GETFD) < 0) return nullptr;
    output->standardError_ = STDERR_FILENO;
    return output;
  }
  output->path_ = std::string(spec);
  const int fd = OpenForAppending(output->path_, O_CREAT);
  if (fd >= 0) {
    output->file_.Reset(fd);
  } else if (errno != ENXIO) {
    return nullptr;  // ENXIO: a FIFO that has no reader yet
  }
  return output;
}

bool LogOutput::Reconnect() {
  if (file_.Valid() || path_.empty()) return file_.Valid() || standardError_ >= 0;
  // Not created again: a FIFO that went away is not replaced by a regular file.
  const int fd = OpenForAppending(path_, 0);
  if (fd >= 0) file_.Reset(fd);
  return fd >= 0;
}

bool LogOutput::Write(std::string_view bytes) {
  if (!Reconnect()) return false;
  const int fd = file_.Valid() ? static_cast<int>(file_.Get()) : static_cast<int>(standardError_);
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EPIPE) {
      DiscardPendingSigpipe();
      file_.Reset();  // the reader left: open the FIFO again when the next one comes
    }
    return false;
  }
  return true;
}

bool StandardErrorIsJournal() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  const std::string_view text(value);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  const char* const devEnd = text.data() + colon;
  const char* const inoEnd = text.data() + text.size();
  const auto [devStop, devError] = std::from_chars(text.data(), devEnd, device);
  const auto [inoStop, inoError] = std::from_chars(devEnd + 1, inoEnd, inode);
  if (devError != std::errc() || devStop != devEnd || inoError != std::errc() || inoStop != inoEnd) {
    return false;
  }
  struct stat status {};
  if (::fstat(STDERR_FILENO, &status) != 0) return false;
  return static_cast<unsigned long long>(status.st_dev) == device &&
         static_cast<unsigned long long>(status.st_ino) == inode;
}

void PrepareLogWriterThread() {
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace tavrik
