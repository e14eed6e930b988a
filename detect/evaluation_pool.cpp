#include "detect/evaluation_pool.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core/utility.hpp>

namespace tavrik {

int PoolThreadsFor(unsigned hardwareThreads) {
  return std::clamp(static_cast<int>(std::min(hardwareThreads, 64u)), 1, kMaxPoolThreads);
}

int PassThreads(int wanted, double freeCores) {
  return std::clamp(static_cast<int>(std::lround(freeCores)), 1, std::max(wanted, 1));
}

void ConfigureImageThreads(int poolThreads) {
  if (poolThreads > 1) cv::setNumThreads(1);
}

EvaluationPool::EvaluationPool(int threads) {
  for (int i = 1; i < threads; ++i) helpers_.emplace_back([this, i] { HelperLoop(i); });
}

EvaluationPool::~EvaluationPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void EvaluationPool::Run(std::size_t count, const Job& job, int active) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    active_ = active;
    job_ = &job;
    count_ = count;
    next_ = 0;
    unfinished_ = count;
    ++generation_;
  }
  wake_.notify_all();
  Work(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return unfinished_ == 0; });
  job_ = nullptr;
}

void EvaluationPool::Work(int worker) {
  for (;;) {
    std::size_t index = 0;
    const Job* job = nullptr;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (job_ == nullptr || next_ >= count_ || worker >= active_) return;
      index = next_++;
      job = job_;
    }
    (*job)(index, worker);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--unfinished_ == 0) done_.notify_all();
  }
}

void EvaluationPool::HelperLoop(int worker) {
  std::uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    Work(worker);
  }
}

}  // namespace tavrik
