// LogSink: where every diagnostic line of the worker goes.
//
// By default a sink discards what it is given; the worker composes its lines all the same so that
// a sink with a target (a test's capture, or TAVRIK_LOG for someone debugging a deployment) sees
// exactly what would have been written. TAVRIK_LOG=stderr writes to the standard error; any other
// value is a file path opened for appending (base/log_output.h). Those writes bypass the C++
// streams, whose fail bit the worker sets at start-up.
//
// A log target must never hold up a ring or the DetectionLoop, however slowly it takes what it is
// given (a pipe nobody reads, a FIFO without a reader, a stalled disk). So a queued sink only
// queues in Emit; one writer thread per sink hands the lines to the target. The queue is bounded:
// a line that does not fit while the target is stuck is lost and counted, and once the target
// takes lines again, one line "[Log] N lines lost ..." says how many went missing at that point.
// A sink built on a plain callback (the in-process captures of tests) calls it on the emitting
// thread instead; such a callback must not block.
//
// Under systemd the standard error is often the journal's stream. There, and only there, a line
// of warning or error severity starts with the sd-daemon priority prefix ("<4>", "<3>") so that
// `journalctl -p warning` finds it; the text after the prefix is the same everywhere, and a
// terminal, a file or a callback never sees a prefix.
//
// Threads: Emit, Flush and the queries may be called from any thread; lines are never
// interleaved and keep their order. Copies share one target, one queue and one writer thread. When
// the last copy goes, the writer writes what is still queued and ends; a target that takes nothing
// for kLogDrainTimeout is left behind with its thread, which the process exit then ends.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

namespace tavrik {

// What a queued sink may hold while its target is stuck.
inline constexpr std::size_t kMaxQueuedLogBytes = 1 << 20;
inline constexpr std::chrono::milliseconds kLogDrainTimeout{1000};

// How much a line matters to whoever reads the log. Only the journal shows the difference.
enum class LogSeverity { kInfo, kWarning, kError };

// The sd-daemon priority prefix of a severity: "" for kInfo, "<4>" for kWarning, "<3>" for kError.
std::string_view JournalPrefix(LogSeverity severity);

class LogSink {
 public:
  // Receives one line (without a newline) on the emitting thread.
  using Target = std::function<void(std::string_view line)>;
  // Receives a batch of whole lines, each ending in '\n', on the writer thread; may block. Returns
  // false when the batch could not be written (its lines then count as lost).
  using BlockingTarget = std::function<bool(std::string_view lines)>;

  LogSink() = default;  // discards
  explicit LogSink(Target target);

  // A sink whose lines are written by a writer thread of its own, queueing at most
  // `maxQueuedBytes` (a line longer than that is still taken when the queue is empty).
  static LogSink Queued(BlockingTarget target, std::size_t maxQueuedBytes = kMaxQueuedLogBytes);

  // The sink selected by TAVRIK_LOG; a discarding sink when it is unset, empty or unusable. Never
  // blocks, whatever the variable names.
  static LogSink FromEnvironment();

  // Composed lines go in whole; never blocks on the target.
  void Emit(std::string_view line, LogSeverity severity = LogSeverity::kInfo) const;

  bool Discards() const { return state_ == nullptr; }
  // True when the lines end up on this process's standard error.
  bool WritesToStandardError() const;
  // True when the lines end up in the journal, which then receives the priority prefixes.
  bool WritesToJournal() const;

  // Waits until every line emitted before the call has been written or counted as lost, for at
  // most `timeout`; true when that happened. A sink without a writer thread is always flushed.
  // Not from inside a target.
  bool Flush(std::chrono::milliseconds timeout) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tavrik
