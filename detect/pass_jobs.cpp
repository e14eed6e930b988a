#include "detect/pass_jobs.h"

#include <algorithm>
#include <cstdint>

#include "detect/evaluation_pool.h"

namespace tavrik {
namespace {

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

// Runs `job` for [0, count) on the pool when it is worth more than one thread, else here.
void RunOnPool(DetectionLoopState& state, int threads, std::size_t count,
               const EvaluationPool::Job& job) {
  const bool pooled = threads > 1 && count > 1;
  const std::size_t needed = pooled ? static_cast<std::size_t>(threads) : 1;
  while (state.threads.size() < needed) {
    state.threads.push_back(std::make_unique<DetectionLoopState::PassThread>());
  }
  if (!pooled) {
    for (std::size_t j = 0; j < count; ++j) job(j, 0);
    return;
  }
  if (!state.pool || state.pool->Threads() != threads) {
    state.pool.reset();
    state.pool = std::make_unique<EvaluationPool>(threads);
  }
  state.pool->Run(count, job);
}

// Points `shared` at a group's pixels of this pass (its remembered ones), or leaves it failed.
void ShareGroup(const DetectionLoopState::Group& group, SharedCapture& shared) {
  shared.Forget();
  shared.rect = group.rect;
  shared.attempted = true;  // not captured here: RunEvaluation reports the capture failure
  if (group.memory == nullptr || !group.captured) return;
  shared.pixels = group.memory->pixels;
  shared.ok = true;
  shared.region.Reset(shared.pixels);
  shared.remembered = true;
  shared.generation = group.memory->generation;
}

// True when a due template's remembered result stands for these pixels (no matching needed).
bool Reusable(const DetectionLoopState::DueEntry& entry, const SharedCapture& shared) {
  const RecordMemory* memory = entry.memory;
  return memory != nullptr && memory->valid && memory->generation == shared.generation &&
         memory->rect == shared.rect;
}

// Matches the slice's templates that need it together, so that they share the region's tiles.
// A failure here is no one template's: the templates are then matched one by one by
// RunEvaluation, which contains each one's own error.
void ScoreTogether(const DetectionContext& context, DetectionLoopState& state,
                   const DetectionLoopState::Slice& slice, DetectionLoopState::PassThread& thread,
                   std::stop_token stop) {
  thread.scoring.clear();
  thread.owners.clear();
  SharedCapture& shared = thread.capture;
  if (!shared.ok) return;
  for (std::size_t k = 0; k < slice.count; ++k) {
    const std::size_t i = state.order[slice.first + k];
    if (Reusable(state.due[i], shared)) continue;
    thread.scoring.push_back({state.due[i].info, {}, false});
    thread.owners.push_back(i);
  }
  if (thread.scoring.size() < 2) {
    thread.scoring.clear();  // alone, it is matched by RunEvaluation as it always was
    return;
  }
  try {
    ScoreTemplates(shared.region, thread.scoring, thread.workspace, context.transform,
                   state.cache.get(), stop);
  } catch (...) {
    for (ScoreJob& job : thread.scoring) job.done = false;
  }
}

}  // namespace

void RunGrabs(const DetectionContext& context, DetectionLoopState& state, int threads,
              std::stop_token stop) {
  RunOnPool(state, threads, state.grabs.size(), [&](std::size_t j, int worker) {
    if (stop.stop_requested()) return;
    DetectionLoopState::PassThread& thread = *state.threads[static_cast<std::size_t>(worker)];
    const DetectionLoopState::GrabJob& job = state.grabs[j];
    cv::Mat grabbed;
    try {
      grabbed = ReadGrab(context.capture, job.box, thread);
    } catch (...) {
      grabbed = cv::Mat();  // a failed capture: retried in the next pass
    }
    if (grabbed.empty()) return;
    for (const std::size_t g : job.groups) {
      DetectionLoopState::Group& group = state.groups[g];
      try {
        group.memory->Remember(grabbed(cv::Rect(group.rect.x - job.box.x, group.rect.y - job.box.y,
                                                group.rect.width, group.rect.height)));
        group.memory->dirty = false;
        group.captured = true;
      } catch (...) {
        group.captured = false;  // reported as a failed capture, retried in the next pass
      }
    }
  });
}

void RunSlices(const DetectionContext& context, DetectionLoopState& state, int threads,
               std::stop_token stop) {
  ReuseCounters* counters = state.counters.get();
  RunOnPool(state, threads, state.slices.size(), [&](std::size_t s, int worker) {
    if (stop.stop_requested()) return;
    DetectionLoopState::PassThread& thread = *state.threads[static_cast<std::size_t>(worker)];
    const DetectionLoopState::Slice& slice = state.slices[s];
    SharedCapture& shared = thread.capture;
    ShareGroup(state.groups[slice.group], shared);
    ScoreTogether(context, state, slice, thread, stop);
    EvaluationEngine engine{&thread.workspace, context.transform, state.cache.get(), &thread.spot,
                            stop, nullptr};
    for (std::size_t k = 0; k < slice.count; ++k) {
      if (stop.stop_requested()) break;
      const std::size_t i = state.order[slice.first + k];
      const auto at = std::find(thread.owners.begin(), thread.owners.end(), i);
      const std::size_t owner = static_cast<std::size_t>(at - thread.owners.begin());
      engine.prescored = at != thread.owners.end() && owner < thread.scoring.size() &&
                                 thread.scoring[owner].done
                             ? &thread.scoring[owner].score
                             : nullptr;
      const DetectionLoopState::DueEntry& entry = state.due[i];
      state.outcomes[i] = RunEvaluation(*entry.info, context.capture, shared, engine,
                                        state.evaluations[i], state.errors[i], entry.memory,
                                        counters);
      state.evaluated[i] = state.outcomes[i] != EvaluationOutcome::kStopped ? 1 : 0;
    }
    shared.Forget();
  });
}

}  // namespace tavrik
