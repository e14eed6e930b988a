// The queued LogSink: its writer thread, its bound, and the count of what a stuck target lost.
#include "base/log_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tavrik {
namespace {

using namespace std::chrono_literals;

// A target that can hang (a pipe nobody reads) or fail (a FIFO without a reader) until told
// otherwise, and records what it wrote and whether it ran on the emitting thread.
struct FakeTarget {
  std::mutex mutex;
  std::condition_variable changed;
  std::string written;
  std::thread::id emitter = std::this_thread::get_id();
  bool onEmitter = false;
  int calls = 0;
  bool stuck = false;
  bool failing = false;

  LogSink::BlockingTarget Target() {
    return [this](std::string_view lines) {
      std::unique_lock lock(mutex);
      onEmitter = onEmitter || std::this_thread::get_id() == emitter;
      ++calls;
      changed.notify_all();
      changed.wait(lock, [&] { return !stuck; });
      if (!failing) written += lines;
      return !failing;
    };
  }
  void Set(bool& flag, bool value) {
    std::lock_guard lock(mutex);
    flag = value;
    changed.notify_all();
  }
  bool WaitForCall() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return calls > 0; });
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex);
    std::vector<std::string> lines;
    std::istringstream in(written);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

std::string Lost(int count) {
  return "[Log] " + std::to_string(count) + (count == 1 ? " line" : " lines") +
         " lost while the log target was not taking any";
}

// Runs `work` on a thread of its own and says whether it finished: a deadlock detector for calls
// that must never wait on the target, not a measure of speed.
bool FinishesWithoutWaiting(const std::function<void()>& work) {
  return std::async(std::launch::async, work).wait_for(10s) == std::future_status::ready;
}

TEST(QueuedLogSinkTest, AStuckTargetNeverHoldsUpEmitAndItsLossesAreCountedInPlace) {
  FakeTarget target;
  // Room for exactly 10 lines "line-0" to "line-9" (6 bytes and a newline each).
  const LogSink log = LogSink::Queued(target.Target(), 10 * 7);
  target.Set(target.stuck, true);
  log.Emit("first");
  ASSERT_TRUE(target.WaitForCall());  // the writer now hangs in the target with "first"

  constexpr int kLines = 1000;
  ASSERT_TRUE(FinishesWithoutWaiting([&] {
    for (int i = 0; i < kLines; ++i) log.Emit("line-" + std::to_string(i));
  }));
  target.Set(target.stuck, false);
  ASSERT_TRUE(log.Flush(10s));

  // "first", the ten lines that fitted, in order, then one line counting the rest.
  std::vector<std::string> expected = {"first"};
  for (int i = 0; i < 10; ++i) expected.push_back("line-" + std::to_string(i));
  expected.push_back(Lost(kLines - 10));
  EXPECT_EQ(target.Lines(), expected);

  // The target drained: later lines arrive whole, with no further report.
  log.Emit("after");
  ASSERT_TRUE(log.Flush(10s));
  expected.push_back("after");
  EXPECT_EQ(target.Lines(), expected);
  EXPECT_FALSE(target.onEmitter);  // only the writer thread ever wrote
}

TEST(QueuedLogSinkTest, LinesOfFailedWritesAreReportedBeforeTheNextOnes) {
  FakeTarget target;
  const LogSink log = LogSink::Queued(target.Target());
  target.Set(target.failing, true);
  log.Emit("a");
  ASSERT_TRUE(log.Flush(10s));
  log.Emit("b");
  log.Emit("c");
  ASSERT_TRUE(log.Flush(10s));
  target.Set(target.failing, false);
  log.Emit("d");
  ASSERT_TRUE(log.Flush(10s));
  EXPECT_EQ(target.Lines(), (std::vector<std::string>{Lost(3), "d"}));
}

TEST(QueuedLogSinkTest, TheLastCopyWritesWhatIsQueuedOrLeavesAStuckTargetBehind) {
  FakeTarget target;
  {
    LogSink log = LogSink::Queued(target.Target());
    const LogSink copy = log;
    log = LogSink();
    copy.Emit("one");
    copy.Emit("two");
  }
  EXPECT_EQ(target.Lines(), (std::vector<std::string>{"one", "two"}));

  // The thread left behind keeps its target alive: it may still run after this test.
  auto stuck = std::make_shared<FakeTarget>();
  stuck->Set(stuck->stuck, true);
  auto log = std::make_unique<LogSink>(LogSink::Queued(
      [stuck, write = stuck->Target()](std::string_view lines) { return write(lines); }));
  log->Emit("never written");
  ASSERT_TRUE(stuck->WaitForCall());
  EXPECT_FALSE(log->Flush(10ms));
  EXPECT_TRUE(FinishesWithoutWaiting([&] { log.reset(); }));
  stuck->Set(stuck->stuck, false);  // lets the thread that was left behind end
}

}  // namespace
}  // namespace tavrik
