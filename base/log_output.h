// The operating-system end of a TAVRIK_LOG sink: the standard error, or a file opened for
// appending (created when missing).
//
// Opening never blocks. A FIFO is opened without waiting for a reader; while it has none, writes
// fail (their lines count as lost) and each later write tries to open it again, so a reader that
// comes along later gets the lines from then on. Writing may block (a pipe nobody reads): that is
// why only the LogSink's writer thread writes. A write into a pipe whose reader went away fails
// instead of ending the process.
//
// Threads: Open from any thread; Write and PrepareLogWriterThread on the writer thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/unique_handle.h"

namespace tavrik {

// Owns an opened log file: a descriptor on POSIX, a HANDLE on Win32. Close is defined by each
// backend.
struct LogFileTraits {
  using Value = std::intptr_t;
  static constexpr Value Invalid() noexcept { return -1; }
  static void Close(Value file) noexcept;
};

class LogOutput {
 public:
  // "stderr", or a file path. Null when the target can never be written (no standard error, a
  // path that cannot be opened or created).
  static std::unique_ptr<LogOutput> Open(std::string_view spec);

  bool IsStandardError() const { return path_.empty(); }

  // Writes all of `bytes`; false when they could not all be written.
  bool Write(std::string_view bytes);

 private:
  LogOutput() = default;
  bool Reconnect();

  std::string path_;                  // empty for the standard error
  std::intptr_t standardError_ = -1;  // not owned
  UniqueHandle<LogFileTraits> file_;  // owned; absent while a FIFO has no reader
};

// True when the standard error is the stream that systemd connected to the journal: JOURNAL_STREAM
// names its device and inode ("<dev>:<ino>", systemd.exec(5)). A standard error redirected
// elsewhere by a child of the service keeps the variable but not the stream, so both must match.
// Always false on Windows.
bool StandardErrorIsJournal();

// Run first on a writer thread: keeps the process's stop signals away from it (they belong to the
// thread that waits for them) and makes a write into a closed pipe fail rather than kill.
void PrepareLogWriterThread();

}  // namespace tavrik
