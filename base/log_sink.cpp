#include "base/log_sink.h"

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/log_output.h"

namespace tavrik {
namespace {

std::string LostLine(std::uint64_t count, bool journal) {
  return std::string(journal ? JournalPrefix(LogSeverity::kWarning) : "") + "[Log] " +
         std::to_string(count) + (count == 1 ? " line" : " lines") +
         " lost while the log target was not taking any\n";
}

// The queue between the emitting threads and the writer thread. Shared by the sink and the
// writer, so that a writer left behind on a stuck target still has it.
struct Channel {
  std::mutex mutex;
  std::condition_variable wake;   // the writer: lines, losses or closing
  std::condition_variable moved;  // flushers and the closer: the writer made progress or ended
  std::vector<std::string> lines;
  std::size_t queuedBytes = 0;
  std::uint64_t lostWhileFull = 0;  // after every queued line, not yet reported
  std::uint64_t emitted = 0;        // lines handed to Emit
  std::uint64_t settled = 0;        // of those, written or counted as lost
  bool closing = false;
  bool finished = false;
  std::size_t maxQueuedBytes = 0;
  bool journal = false;  // lost lines are reported as warnings; under the mutex
  LogSink::BlockingTarget target;

  void Push(std::string_view line) {
    {
      std::lock_guard lock(mutex);
      ++emitted;
      if (queuedBytes > 0 && queuedBytes + line.size() + 1 > maxQueuedBytes) {
        ++lostWhileFull;
        ++settled;
        return;  // the writer already has work, so it needs no wake-up
      }
      lines.emplace_back(line);
      queuedBytes += line.size() + 1;
    }
    wake.notify_one();
  }

  void Run() {
    PrepareLogWriterThread();
    std::uint64_t lostInWrites = 0;  // lines of failed writes, reported before the next lines
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return !lines.empty() || lostWhileFull > 0 || closing; });
      if (lines.empty() && lostWhileFull == 0) break;  // closing, and nothing left
      std::vector<std::string> batch = std::exchange(lines, {});
      queuedBytes = 0;
      // Lines are lost for want of room only while the queue is full, so every loss counted here
      // happened after every line of this batch: the report goes after them.
      const std::uint64_t lostAfter = std::exchange(lostWhileFull, 0);
      const bool warnings = journal;
      lock.unlock();

      std::string chunk;
      if (lostInWrites > 0) chunk += LostLine(lostInWrites, warnings);
      for (const std::string& line : batch) {
        chunk += line;
        chunk += '\n';
      }
      if (lostAfter > 0) chunk += LostLine(lostAfter, warnings);
      if (target(chunk)) {
        lostInWrites = 0;
      } else {
        lostInWrites += batch.size() + lostAfter;
      }

      lock.lock();
      settled += batch.size();
      moved.notify_all();
    }
    finished = true;
    moved.notify_all();
  }
};

}  // namespace

std::string_view JournalPrefix(LogSeverity severity) {
  switch (severity) {
    case LogSeverity::kWarning:
      return "<4>";
    case LogSeverity::kError:
      return "<3>";
    case LogSeverity::kInfo:
      break;
  }
  return {};
}

struct LogSink::State {
  std::mutex callbackMutex;
  Target callback;
  std::shared_ptr<Channel> channel;
  std::thread writer;
  bool standardError = false;
  bool journal = false;

  ~State() {
    if (!channel) return;
    std::unique_lock lock(channel->mutex);
    channel->closing = true;
    channel->wake.notify_one();
    const bool done =
        channel->moved.wait_for(lock, kLogDrainTimeout, [&] { return channel->finished; });
    lock.unlock();
    // A writer stuck in a target that takes nothing keeps the channel alive by itself; the
    // process exit ends it.
    if (done) {
      writer.join();
    } else {
      writer.detach();
    }
  }
};

LogSink::LogSink(Target target) : state_(std::make_shared<State>()) {
  state_->callback = std::move(target);
}

LogSink LogSink::Queued(BlockingTarget target, std::size_t maxQueuedBytes) {
  LogSink sink;
  sink.state_ = std::make_shared<State>();
  auto channel = std::make_shared<Channel>();
  channel->target = std::move(target);
  channel->maxQueuedBytes = maxQueuedBytes;
  sink.state_->channel = channel;
  sink.state_->writer = std::thread([channel] { channel->Run(); });
  return sink;
}

LogSink LogSink::FromEnvironment() {
  const char* value = std::getenv("TAVRIK_LOG");
  if (value == nullptr || *value == '\0') return LogSink();
  std::shared_ptr<LogOutput> output = LogOutput::Open(value);
  if (!output) return LogSink();
  const bool standardError = output->IsStandardError();
  const bool journal = standardError && StandardErrorIsJournal();
  LogSink sink = Queued([output](std::string_view lines) { return output->Write(lines); });
  sink.state_->standardError = standardError;
  sink.state_->journal = journal;
  {
    // The writer thread already runs; it reads the flag under the same lock.
    std::lock_guard lock(sink.state_->channel->mutex);
    sink.state_->channel->journal = journal;
  }
  return sink;
}

void LogSink::Emit(std::string_view line, LogSeverity severity) const {
  if (!state_) return;
  if (state_->channel) {
    if (state_->journal && severity != LogSeverity::kInfo) {
      state_->channel->Push(std::string(JournalPrefix(severity)) + std::string(line));
      return;
    }
    state_->channel->Push(line);
  } else if (state_->callback) {
    std::lock_guard lock(state_->callbackMutex);
    state_->callback(line);
  }
}

bool LogSink::WritesToStandardError() const { return state_ && state_->standardError; }

bool LogSink::WritesToJournal() const { return state_ && state_->journal; }

bool LogSink::Flush(std::chrono::milliseconds timeout) const {
  if (!state_ || !state_->channel) return true;
  Channel& channel = *state_->channel;
  std::unique_lock lock(channel.mutex);
  const std::uint64_t upTo = channel.emitted;
  return channel.moved.wait_for(lock, timeout,
                                [&] { return channel.settled >= upTo || channel.finished; });
}

}  // namespace tavrik
