// The queued LogSink: its writer thread, its bound, and the count of what a stuck target lost.
#include "base/log_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tavrik {
namespace {

using namespace std::chrono_literals;

// A target that records what it was given and on which thread, and that can be made to hang (a
// pipe nobody reads) or to fail (a FIFO without a reader) until told otherwise.
class FakeTarget {
 public:
  LogSink::BlockingTarget Target() {
    return [this](std::string_view lines) {
      std::unique_lock lock(mutex_);
      threads_.insert(std::this_thread::get_id());
      ++calls_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !stuck_; });
      if (failing_) return false;
      written_ += lines;
      return true;
    };
  }
  void SetStuck(bool stuck) {
    std::lock_guard lock(mutex_);
    stuck_ = stuck;
    changed_.notify_all();
  }
  void SetFailing(bool failing) {
    std::lock_guard lock(mutex_);
    failing_ = failing;
  }
  bool WaitForCalls(int calls) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return calls_ >= calls; });
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    std::istringstream in(written_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string written_;
  std::set<std::thread::id> threads_;
  int calls_ = 0;
  bool stuck_ = false;
  bool failing_ = false;
};

std::string Lost(int count) {
  return "[Log] " + std::to_string(count) + (count == 1 ? " line" : " lines") +
         " lost while the log target was not taking any";
}

// Runs `work` on a thread of its own and says whether it finished in time: a deadlock detector
// for calls that must never wait on the target, not a measure of speed.
bool FinishesWithoutWaiting(const std::function<void()>& work) {
  auto done = std::async(std::launch::async, work);
  return done.wait_for(10s) == std::future_status::ready;
}

TEST(QueuedLogSinkTest, AStuckTargetNeverHoldsUpEmitAndItsLossesAreCountedInPlace) {
  FakeTarget target;
  // Room for exactly 10 lines "line-0" to "line-9" (6 bytes and a newline each).
  const LogSink log = LogSink::Queued(target.Target(), 10 * 7);
  target.SetStuck(true);
  log.Emit("first");
  ASSERT_TRUE(target.WaitForCalls(1));  // the writer now hangs in the target with "first"

  constexpr int kLines = 1000;
  ASSERT_TRUE(FinishesWithoutWaiting([&] {
    for (int i = 0; i < kLines; ++i) log.Emit("line-" + std::to_string(i));
  }));
  target.SetStuck(false);
  ASSERT_TRUE(log.Flush(10s));

  // "first", then the lines that fitted, in order, then one line counting the rest.
  const std::vector<std::string> lines = target.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "first");
  const std::size_t kept = lines.size() - 2;
  EXPECT_EQ(kept, 10u);
  for (std::size_t i = 0; i < kept; ++i) EXPECT_EQ(lines[1 + i], "line-" + std::to_string(i));
  EXPECT_EQ(lines.back(), Lost(kLines - static_cast<int>(kept)));

  // The target drained: later lines arrive whole, with no further report.
  log.Emit("after");
  ASSERT_TRUE(log.Flush(10s));
  EXPECT_EQ(target.Lines().back(), "after");
  EXPECT_EQ(target.Lines().size(), lines.size() + 1);
  // Only the writer thread ever wrote.
  EXPECT_EQ(target.Threads().size(), 1u);
  EXPECT_EQ(target.Threads().count(std::this_thread::get_id()), 0u);
}

TEST(QueuedLogSinkTest, LinesOfFailedWritesAreReportedBeforeTheNextOnes) {
  FakeTarget target;
  const LogSink log = LogSink::Queued(target.Target());
  target.SetFailing(true);
  log.Emit("a");
  ASSERT_TRUE(log.Flush(10s));
  log.Emit("b");
  log.Emit("c");
  ASSERT_TRUE(log.Flush(10s));
  target.SetFailing(false);
  log.Emit("d");
  ASSERT_TRUE(log.Flush(10s));
  EXPECT_EQ(target.Lines(), (std::vector<std::string>{Lost(3), "d"}));
}

TEST(QueuedLogSinkTest, LinesFromManyThreadsArriveWholeAndInTheirOrder) {
  FakeTarget target;
  const LogSink log = LogSink::Queued(target.Target());
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEach; ++i) {
        log.Emit("t" + std::to_string(t) + " " + std::to_string(i) + " " + std::string(40, 'x'));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(log.Flush(10s));
  int next[kThreads] = {};
  for (const std::string& line : target.Lines()) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]++) << line;
    EXPECT_EQ(line.size(), line.find(' ', 3) + 41) << line;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
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
  stuck->SetStuck(true);
  auto log = std::make_unique<LogSink>(LogSink::Queued(
      [stuck, write = stuck->Target()](std::string_view lines) { return write(lines); }));
  log->Emit("never written");
  ASSERT_TRUE(stuck->WaitForCalls(1));
  EXPECT_FALSE(log->Flush(10ms));
  EXPECT_TRUE(FinishesWithoutWaiting([&] { log.reset(); }));
  stuck->SetStuck(false);  // lets the thread that was left behind end
}

TEST(LogSinkTest, CallbackSinksRunOnTheEmittingThreadAndDiscardingSinksDoNothing) {
  std::vector<std::string> lines;
  std::thread::id where;
  const LogSink log([&](std::string_view line) {
    lines.emplace_back(line);
    where = std::this_thread::get_id();
  });
  log.Emit("now");
  EXPECT_EQ(lines, std::vector<std::string>{"now"});  // no Flush needed
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_FALSE(log.Discards());
  EXPECT_FALSE(log.WritesToStandardError());
  EXPECT_TRUE(log.Flush(0ms));

  const LogSink none;
  none.Emit("nowhere");
  EXPECT_TRUE(none.Discards());
  EXPECT_TRUE(none.Flush(0ms));
}

}  // namespace
}  // namespace tavrik
