// The evaluation pool: a fixed set of helper threads that, together with the caller, run the jobs
// of one pass. The caller takes part, so a pool of n threads has n - 1 helpers.
//
// The helpers run at the caller's priority and are used only on cores the user's programs left
// free in the last pass (PassThreads, base/cpu_load.h). Idle priority was measured and refused:
// the caller must wait for a helper's job in progress, and a helper at idle priority on a busy
// machine held passes and stop requests for many seconds.
//
// Threads: Run is called by the DetectionLoop's thread only; the jobs run on it and the helpers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrik {

// At most this many threads evaluate templates, whatever the machine has.
inline constexpr int kMaxPoolThreads = 4;

// The evaluation pool's size for a machine with `hardwareThreads` (0: unknown): one per core, at
// least 1, at most kMaxPoolThreads.
int PoolThreadsFor(unsigned hardwareThreads);

// The threads a pass uses out of `wanted`: one for each core the other programs left free
// (`freeCores`, rounded to the nearest), at least the caller's.
int PassThreads(int wanted, double freeCores);

// Switches OpenCV's own parallel loops off when the pool runs more than one thread: the pool
// already uses the cores it may use. cv::setNumThreads is process-wide and must not run while
// another thread may be inside OpenCV (an add command prepares its template with OpenCV's
// parallel code), so the pool never calls it: start-up does, once, on the main thread before any
// other thread exists, with the size it then gives the DetectionContext.
void ConfigureImageThreads(int poolThreads);

class EvaluationPool {
 public:
  explicit EvaluationPool(int threads);
  ~EvaluationPool();
  EvaluationPool(const EvaluationPool&) = delete;
  EvaluationPool& operator=(const EvaluationPool&) = delete;

  int Threads() const { return static_cast<int>(helpers_.size()) + 1; }

  // Runs job(i, worker) for every i in [0, count) on the caller and the first `active` - 1 helpers
  // (all of them by default) and returns when all have finished; `worker` is the running thread's
  // index, 0 for the caller. The other helpers stay asleep: a pass that may use fewer cores than
  // the last one neither ends threads nor starts them again.
  using Job = std::function<void(std::size_t index, int worker)>;
  void Run(std::size_t count, const Job& job, int active = kMaxPoolThreads);

 private:
  void Work(int worker);
  void HelperLoop(int worker);

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const Job* job_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::size_t unfinished_ = 0;
  int active_ = 0;
  std::uint64_t generation_ = 0;
  bool stop_ = false;
};

}  // namespace tavrik
