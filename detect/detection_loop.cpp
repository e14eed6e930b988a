#include "detect/detection_loop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <opencv2/core/utility.hpp>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/memory_trim.h"
#include "base/numeric.h"
#include "detect/grab_plan.h"
#include "detect/region_fit.h"

namespace tavrik {

// A fixed set of helper threads that, together with the caller, run the jobs of one pass. The
// caller takes part, so a pool of n threads has n - 1 helpers.
class EvaluationPool {
 public:
  explicit EvaluationPool(int threads) {
    for (int i = 1; i < threads; ++i) helpers_.emplace_back([this, i] { HelperLoop(i); });
  }
  ~EvaluationPool() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
  }
  EvaluationPool(const EvaluationPool&) = delete;
  EvaluationPool& operator=(const EvaluationPool&) = delete;

  int Threads() const { return static_cast<int>(helpers_.size()) + 1; }

  // Runs job(i, worker) for every i in [0, count) and returns when all have finished; `worker`
  // is the running thread's index, 0 for the caller.
  using Job = std::function<void(std::size_t index, int worker)>;
  void Run(std::size_t count, const Job& job) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
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

 private:
  void Work(int worker) {
    for (;;) {
      std::size_t index = 0;
      const Job* job = nullptr;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (job_ == nullptr || next_ >= count_) return;
        index = next_++;
        job = job_;
      }
      (*job)(index, worker);
      const std::lock_guard<std::mutex> lock(mutex_);
      if (--unfinished_ == 0) done_.notify_all();
    }
  }

  void HelperLoop(int worker) {
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

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const Job* job_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::size_t unfinished_ = 0;
  std::uint64_t generation_ = 0;
  bool stop_ = false;
};

DetectionLoopState::DetectionLoopState() = default;
DetectionLoopState::~DetectionLoopState() = default;
DetectionLoopState::DetectionLoopState(DetectionLoopState&&) noexcept = default;
DetectionLoopState& DetectionLoopState::operator=(DetectionLoopState&&) noexcept = default;

int PoolThreadsFor(unsigned hardwareThreads) {
  const int half = static_cast<int>(hardwareThreads / 2);
  return std::clamp(half, 1, kMaxPoolThreads);
}

void ConfigureImageThreads(int poolThreads) {
  if (poolThreads > 1) cv::setNumThreads(1);
}

DetectionLoopState StartDetectionLoop(std::int64_t nowNs) {
  DetectionLoopState state;
  state.idleDeadline = nowNs + kIdleHeartbeatIntervalNs;
  return state;
}

std::string TemplateSetLine(const TemplateSnapshot& snapshot, std::string& loggedTemplateList) {
  if (snapshot.empty()) {
    if (loggedTemplateList.empty()) return {};
    loggedTemplateList.clear();
    return "[Loop] templates=0";
  }
  std::vector<std::string> names;
  names.reserve(snapshot.size());
  for (const TemplatePtr& info : snapshot) {
    if (info) names.push_back(info->name);
  }
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ',';
    list += name;
  }
  if (list == loggedTemplateList) return {};
  loggedTemplateList = list;
  return (LineText() << "[Loop] templates=" << names.size() << " [" << list << "]").str();
}

bool IsDue(const TemplateInfo& info, std::int64_t passTimeNs) {
  if (info.cooldownMs <= 0 || info.lastDecisionTime == kNeverDecided) return true;
  // Both terms are bounded (cooldown from an int32, times from one steady clock), but compute in
  // a way that cannot overflow whatever a record holds.
  const std::int64_t elapsed = passTimeNs - info.lastDecisionTime;
  const std::int64_t cooldownNs =
      info.cooldownMs > INT64_MAX / kNsPerMs ? INT64_MAX : info.cooldownMs * kNsPerMs;
  return elapsed >= cooldownNs;
}

namespace {

std::size_t MatBytesOf(const cv::Mat& m) { return m.empty() ? 0 : m.total() * m.elemSize(); }

// Passes in a row that may leave a grab buffer more than half unused before it is released.
constexpr int kGrabSparePassLimit = 20;

// True for a template whose region still waits to be held against the screen's size.
bool AwaitsSizeCheck(const TemplateInfo& info, const DetectionLoopState& state, bool checking) {
  return checking && info.regionUnchecked &&
         !std::binary_search(state.fittedSerials.begin(), state.fittedSerials.end(),
                             info.serial.Value());
}

// Templates added while the screen's size was unknown are held against it at the first pass that
// knows it, before anything is captured for them: a region larger than the screen is refused
// with the add's line and leaves the registry (unless a newer registration of the name has
// replaced it) and this pass's snapshot. The size is asked only while such a template waits.
void CheckUnsizedRegions(const DetectionContext& context, DetectionLoopState& state,
                         TemplateSnapshot& snapshot) {
  if (!context.screenBounds) return;
  bool asked = false;
  std::optional<IntRect> screen;
  for (auto it = snapshot.begin(); it != snapshot.end();) {
    const TemplatePtr info = *it;
    if (!info || !AwaitsSizeCheck(*info, state, true)) {
      ++it;
      continue;
    }
    if (!asked) {
      asked = true;
      try {
        screen = context.screenBounds();
      } catch (...) {
        screen.reset();
      }
    }
    if (!screen) return;  // still unknown: they wait, uncaptured
    const std::string refusal =
        RegionFitRefusal(info->name, info->rawRoi.width, info->rawRoi.height, *screen);
    if (refusal.empty()) {
      const std::uint64_t serial = info->serial.Value();
      state.fittedSerials.insert(
          std::upper_bound(state.fittedSerials.begin(), state.fittedSerials.end(), serial), serial);
      ++it;
      continue;
    }
    context.registry.EraseRecord(info, [&] { context.log.Emit(refusal, LogSeverity::kWarning); });
    it = snapshot.erase(it);
  }
}

// The due templates of a pass in snapshot order, each with the index of its capture rectangle:
// templates that watch the same rectangle share one capture (and its derived planes). Marks the
// rectangles and records of the whole snapshot (due or not) as still watched, creating their
// memory entries here, on the loop's thread, so that the pool's threads only use them.
void CollectDue(const TemplateSnapshot& snapshot, std::int64_t passTime, bool checkingSizes,
                DetectionLoopState& state) {
  state.due.clear();
  state.groups.clear();
  Evaluation plan;
  for (const TemplatePtr& info : snapshot) {
    if (!info || info->image.empty()) continue;
    // A template that waits for its size check is not captured: it fails like any capture.
    const bool planned =
        PlanCapture(*info, plan) && !AwaitsSizeCheck(*info, state, checkingSizes);
    RectangleMemory* memory = nullptr;
    if (planned) {
      DetectionLoopState::RectangleEntry& entry = state.rectangles[plan.captureRect];
      entry.watched = true;
      memory = &entry.memory;
    }
    DetectionLoopState::RecordEntry& record = state.records[info.get()];
    if (record.record.expired()) {
      // New, or a record that died and left its address to this one.
      record.record = info;
      record.memory = RecordMemory{};
    }
    record.watched = true;
    if (!IsDue(*info, passTime)) continue;

    DetectionLoopState::DueEntry entry{info.get(), state.groups.size(), &record.memory};
    if (planned) {
      for (std::size_t g = 0; g < state.groups.size(); ++g) {
        if (state.groups[g].memory != nullptr && state.groups[g].rect == plan.captureRect) {
          entry.group = g;
          break;
        }
      }
    }
    // A rectangle that cannot be captured gets a group of its own (its evaluation fails before
    // capturing anything).
    if (entry.group == state.groups.size()) {
      state.groups.push_back({plan.captureRect, info->windowOrigin, memory});
    }
    state.due.push_back(entry);
  }
}

std::size_t ThreadBytes(const DetectionLoopState::PassThread& thread) {
  return thread.workspace.Bytes() + thread.capture.region.Bytes() +
         MatBytesOf(thread.capture.storage) + MatBytesOf(thread.grab);
}

void ReleaseThread(DetectionLoopState::PassThread& thread) {
  thread.workspace.Release();
  thread.capture.region.Release();
  thread.capture.pixels.release();
  thread.capture.storage.release();
  thread.grab.release();
  thread.grabUsed = 0;
  thread.grabSparePasses = 0;
}

// Records that left the registry take their prepared templates with them. The threads' buffers
// are sized by the largest rectangle they have seen, so they are released whenever the set of
// records changes and regrown by the next pass to what the remaining templates need: a removed
// 4096x4096 region gives its memory back, and an idle worker holds nothing of the detection.
// True when something was released.
bool ForgetRemovedRecords(const TemplateSnapshot& snapshot, DetectionLoopState& state) {
  std::vector<std::uint64_t> live;
  live.reserve(snapshot.size());
  for (const TemplatePtr& info : snapshot) {
    if (info) live.push_back(info->serial.Value());
  }
  std::sort(live.begin(), live.end());
  if (live == state.liveSerials) return false;
  state.liveSerials = std::move(live);
  std::vector<std::uint64_t> fitted;
  std::set_intersection(state.fittedSerials.begin(), state.fittedSerials.end(),
                        state.liveSerials.begin(), state.liveSerials.end(),
                        std::back_inserter(fitted));
  state.fittedSerials = std::move(fitted);
  state.cache->Retain(state.liveSerials);
  for (auto& thread : state.threads) ReleaseThread(*thread);
  // The previous pass's evaluations still hold views of its pixels. Swapped out, not `= {}`,
  // which would keep the capacity.
  std::vector<Evaluation>().swap(state.evaluations);
  std::vector<std::string>().swap(state.errors);
  return true;
}

// Beyond the budget the threads' buffers are released first (they are remade by the next pass),
// then the least recently used prepared templates. True when something was released.
bool KeepWithinBudget(DetectionLoopState& state) {
  const std::size_t budget = state.cache->Budget();
  if (DetectionBytes(state) <= budget) return false;
  for (auto& thread : state.threads) ReleaseThread(*thread);
  state.cache->EvictTo(budget);
  return true;
}

// Drops the memory of rectangles and records that the snapshot no longer has.
template <typename Map>
void ForgetUnwatchedIn(Map& entries) {
  for (auto it = entries.begin(); it != entries.end();) {
    if (it->second.watched) {
      it->second.watched = false;
      ++it;
    } else {
      it = entries.erase(it);
    }
  }
}

void ForgetUnwatched(DetectionLoopState& state) {
  ForgetUnwatchedIn(state.rectangles);
  ForgetUnwatchedIn(state.records);
}

bool Intersect(const IntRect& a, const IntRect& b) {
  return std::int64_t{a.x} < std::int64_t{b.x} + b.width &&
         std::int64_t{b.x} < std::int64_t{a.x} + a.width &&
         std::int64_t{a.y} < std::int64_t{b.y} + b.height &&
         std::int64_t{b.y} < std::int64_t{a.y} + a.height;
}

// Marks the remembered rectangles that the screen's changes touch (all of them when the changes
// are unknown). Called before any grab of the pass: what is drawn from here on is in the next
// answer.
void TakeScreenChanges(const DetectionContext& context, DetectionLoopState& state) {
  bool known = false;
  state.damaged.clear();
  if (context.damage) {
    try {
      known = context.damage(&state.damaged);
    } catch (...) {
      known = false;
    }
  }
  for (auto& [rect, entry] : state.rectangles) {
    if (entry.memory.dirty) continue;
    if (!known) {
      entry.memory.dirty = true;
      continue;
    }
    for (const IntRect& d : state.damaged) {
      if (Intersect(rect, d)) {
        entry.memory.dirty = true;
        break;
      }
    }
  }
}

// The pass's jobs: the groups that must be read, in grabs per window; the others alone.
void PlanJobs(DetectionLoopState& state) {
  state.jobs.clear();
  std::vector<IntPoint> origins;
  std::vector<std::vector<std::size_t>> byOrigin;
  for (std::size_t g = 0; g < state.groups.size(); ++g) {
    const DetectionLoopState::Group& group = state.groups[g];
    const bool read =
        group.memory != nullptr && (group.memory->dirty || group.memory->pixels.empty());
    if (!read) {
      state.jobs.push_back({false, group.rect, {g}});
      continue;
    }
    const auto at = std::find(origins.begin(), origins.end(), group.origin);
    if (at == origins.end()) {
      origins.push_back(group.origin);
      byOrigin.push_back({g});
    } else {
      byOrigin[static_cast<std::size_t>(at - origins.begin())].push_back(g);
    }
  }
  std::vector<IntRect> rects;
  std::vector<Grab> grabs;
  for (const std::vector<std::size_t>& members : byOrigin) {
    rects.clear();
    for (const std::size_t g : members) rects.push_back(state.groups[g].rect);
    PlanWindowGrabs(rects, grabs);
    for (const Grab& grab : grabs) {
      DetectionLoopState::Job& job = state.jobs.emplace_back();
      job.grab = true;
      job.box = grab.box;
      for (const std::size_t m : grab.members) job.groups.push_back(members[m]);
    }
  }
}

// Reads `box`: into the thread's grab buffer, or wherever the source hands its pixels out. The
// pixels, or an empty image on failure.
cv::Mat ReadGrab(const CaptureFunction& capture, const IntRect& box,
                 DetectionLoopState::PassThread& thread) {
  const std::size_t bytes = static_cast<std::size_t>(std::max(box.width, 0)) *
                            static_cast<std::size_t>(std::max(box.height, 0)) * 4;
  if (!capture || bytes == 0 || bytes > static_cast<std::size_t>(INT32_MAX)) return cv::Mat();
  // A BGRA view of the right size over the reused buffer, when it is large enough: a screen
  // source that fills it in place allocates nothing. A source that makes its own buffer leaves it
  // to the next grabs; one that points at pixels of its own needs none.
  cv::Mat image;
  if (thread.grab.total() >= bytes) {
    image = cv::Mat(box.height, box.width, CV_8UC4, thread.grab.data);
    thread.grabUsed = std::max(thread.grabUsed, bytes);
  }
  if (!capture(box.x, box.y, box.width, box.height, image)) return cv::Mat();
  if (image.rows != box.height || image.cols != box.width) return cv::Mat();
  if (image.u != nullptr && image.isContinuous() && image.u != thread.grab.u) {
    thread.grab = image.reshape(1, 1);
    thread.grabUsed = std::max(thread.grabUsed, image.total() * image.elemSize());
  }
  return image;
}

// Sets `shared` up for one group of a job: its pixels as a view into the grab (remembered as
// the rectangle's latest) or, when it is not read again, its remembered pixels.
void PrepareGroup(const DetectionLoopState::Job& job, const cv::Mat& grabbed,
                  const DetectionLoopState::Group& group, SharedCapture& shared) {
  shared.Forget();
  shared.rect = group.rect;
  shared.attempted = true;
  // Not to be captured in this pass: RunEvaluation reports the capture failure.
  if (group.memory == nullptr) return;
  RectangleMemory& memory = *group.memory;
  if (job.grab) {
    if (grabbed.empty()) return;
    const cv::Mat view = grabbed(cv::Rect(group.rect.x - job.box.x, group.rect.y - job.box.y,
                                          group.rect.width, group.rect.height));
    memory.Remember(view);
    memory.dirty = false;
    shared.pixels = view;
  } else {
    shared.pixels = memory.pixels;
  }
  shared.ok = true;
  shared.region.Reset(shared.pixels);
  shared.remembered = true;
  shared.generation = memory.generation;
}

// Gives grab buffers back once they have stayed mostly unused for a while.
void TrimGrabBuffers(DetectionLoopState& state) {
  for (const std::unique_ptr<DetectionLoopState::PassThread>& thread : state.threads) {
    const bool spare = thread->grab.total() > 2 * thread->grabUsed;
    thread->grabSparePasses = spare ? thread->grabSparePasses + 1 : 0;
    if (thread->grabSparePasses >= kGrabSparePassLimit) {
      thread->grab.release();
      thread->grabSparePasses = 0;
    }
    thread->grabUsed = 0;
  }
}

}  // namespace

std::size_t DetectionBytes(const DetectionLoopState& state) {
  std::size_t bytes = state.cache->Bytes();
  for (const auto& thread : state.threads) bytes += ThreadBytes(*thread);
  return bytes;
}

void RunDetectionPass(DetectionContext& context, DetectionLoopState& state,
                      const std::function<std::int64_t()>& clock, std::stop_token stop) {
  TemplateSnapshot snapshot = context.registry.SnapshotTemplates();
  CheckUnsizedRegions(context, state, snapshot);
  if (std::string line = TemplateSetLine(snapshot, state.loggedTemplateList); !line.empty()) {
    context.log.Emit(line);
  }
  const std::int64_t passTime = clock();
  if (snapshot.empty()) {
    if (context.damage) {
      try {
        context.damage(nullptr);  // nothing to watch: the source may rest
      } catch (...) {
      }
    }
    const bool released = ForgetRemovedRecords(snapshot, state);
    ForgetUnwatched(state);
    TrimGrabBuffers(state);
    if (released) {
      // Nothing is watched any more: the helper threads end and take their capture buffers with
      // them, this thread gives its own back, and the freed heap goes back to the system.
      state.pool.reset();
      if (context.releaseCapture) context.releaseCapture();
      ReturnFreeMemory();
    }
    if (passTime >= state.idleDeadline) {
      SendHeartbeat(context.writer, "IDLE");
      state.idleDeadline = passTime + kIdleHeartbeatIntervalNs;
    }
    return;
  }
  const bool released = ForgetRemovedRecords(snapshot, state);
  CollectDue(snapshot, passTime, context.screenBounds != nullptr, state);
  ForgetUnwatched(state);
  // In every busy pass, also when nothing is due: the rectangles' dirty marks keep what was drawn
  // until their templates are due, while the source's own backlog (X11: one event per drawing,
  // queued in the server and then in this process) never outgrows one pass of drawing.
  TakeScreenChanges(context, state);
  PlanJobs(state);
  const std::size_t n = state.due.size();
  const std::size_t jobs = state.jobs.size();
  if (state.evaluations.size() < n) state.evaluations.resize(n);
  if (state.outcomes.size() < n) state.outcomes.resize(n);
  if (state.errors.size() < n) state.errors.resize(n);
  state.evaluated.assign(n, 0);

  // Each job (one grab, or one rectangle not read again) is evaluated on one thread: its
  // rectangles, each with its templates in snapshot order. Then every outcome is reported on this
  // thread in snapshot order, so a reader of the hit ring sees the same sequence whatever the
  // number of threads.
  const int wanted = context.poolThreads > 0 ? context.poolThreads
                                             : PoolThreadsFor(std::thread::hardware_concurrency());
  const bool pooled = wanted > 1 && jobs > 1;
  const std::size_t threadCount = pooled ? static_cast<std::size_t>(wanted) : 1;
  while (state.threads.size() < threadCount) {
    state.threads.push_back(std::make_unique<DetectionLoopState::PassThread>());
  }
  const CaptureFunction& capture = context.capture;
  const TransformKind kind = context.transform;
  ReuseCounters* counters = state.counters.get();
  const auto evaluateJob = [&](std::size_t j, int worker) {
    DetectionLoopState::PassThread& thread = *state.threads[static_cast<std::size_t>(worker)];
    const EvaluationEngine engine{&thread.workspace, kind, state.cache.get()};
    SharedCapture& shared = thread.capture;
    const DetectionLoopState::Job& job = state.jobs[j];
    // One evaluation may take a good part of a second: a stop request waits for the one in
    // progress (with the grab that began it), never for the rest of the pass.
    if (stop.stop_requested()) return;
    bool first = true;
    cv::Mat grabbed;
    if (job.grab) {
      try {
        grabbed = ReadGrab(capture, job.box, thread);
      } catch (...) {
        grabbed = cv::Mat();  // a failed capture: retried in the next pass
      }
    }
    for (const std::size_t group : job.groups) {
      if (!first && stop.stop_requested()) break;
      try {
        PrepareGroup(job, grabbed, state.groups[group], shared);
      } catch (...) {
        shared.Forget();
        shared.rect = state.groups[group].rect;
        shared.attempted = true;  // reported as a failed capture, retried in the next pass
      }
      for (std::size_t i = 0; i < n; ++i) {
        const DetectionLoopState::DueEntry& entry = state.due[i];
        if (entry.group != group) continue;
        if (!first && stop.stop_requested()) break;
        first = false;
        state.outcomes[i] =
            RunEvaluation(*entry.info, capture, shared, engine, state.evaluations[i],
                          state.errors[i], entry.memory, counters);
        state.evaluated[i] = 1;
      }
    }
    shared.Forget();
  };
  if (!pooled) {
    for (std::size_t j = 0; j < jobs; ++j) evaluateJob(j, 0);
  } else {
    if (!state.pool || state.pool->Threads() != wanted) {
      state.pool.reset();
      state.pool = std::make_unique<EvaluationPool>(wanted);
    }
    state.pool->Run(jobs, evaluateJob);
  }
  TrimGrabBuffers(state);
  for (std::size_t i = 0; i < n; ++i) {
    if (state.evaluated[i] == 0) continue;  // left out by a stop request: not reported at all
    TemplateInfo& info = *state.due[i].info;
    const bool errorLineDue = info.lastErrorLineTime == kNeverDecided ||
                              passTime - info.lastErrorLineTime >= kErrorLineIntervalNs;
    switch (ReportOutcome(state.outcomes[i], state.evaluations[i], info, state.errors[i],
                          context.log, context.writer,
                          errorLineDue ? ErrorLine::kWrite : ErrorLine::kSuppress)) {
      case EvaluationOutcome::kDecided:
        info.lastDecisionTime = passTime;
        break;
      case EvaluationOutcome::kError:
        // A template that fails every time waits for its cooldown like any other; only a failed
        // capture (the screen not readable for now) is retried in the next pass.
        info.lastDecisionTime = passTime;
        if (errorLineDue) info.lastErrorLineTime = passTime;
        break;
      case EvaluationOutcome::kCaptureFailed:
        break;
    }
  }
  state.idleDeadline = passTime + kIdleHeartbeatIntervalNs;
  // After the pass, so that what the remaining templates regrew is kept and the rest goes back.
  if (KeepWithinBudget(state) || released) ReturnFreeMemory();
}

void RunDetectionLoop(DetectionContext& context, std::stop_token stop) {
  DetectionLoopState state = StartDetectionLoop(MonotonicNowNs());
  std::mutex pauseMutex;
  std::condition_variable_any pause;
  while (!stop.stop_requested()) {
    RunDetectionPass(context, state, MonotonicNowNs, stop);
    // The pause between passes ends early on a stop request.
    std::unique_lock<std::mutex> lock(pauseMutex);
    pause.wait_for(lock, stop, std::chrono::milliseconds(kPassPauseMs), [] { return false; });
  }
}

}  // namespace tavrik
