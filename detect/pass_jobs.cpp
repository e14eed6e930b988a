#include "detect/pass_jobs.h"

#include <algorithm>
#include <cstdint>

#include <opencv2/imgproc.hpp>

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

// Runs `job` for [0, count) on `threads` threads of the pool when that is worth more than one,
// else here. The pool has the most threads the loop may use (`wanted`), made once.
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
  const int size = std::max(threads, state.poolSize);
  if (!state.pool || state.pool->Threads() != size) {
    state.pool.reset();
    state.pool = std::make_unique<EvaluationPool>(size);
  }
  state.pool->Run(count, job, threads);
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

// True when a due template's remembered result stands for the group's pixels (no matching).
bool Reusable(const DetectionLoopState::DueEntry& entry, const DetectionLoopState::Group& group) {
  const RecordMemory* memory = entry.memory;
  return memory != nullptr && memory->valid && memory->generation == group.memory->generation &&
         memory->rect == group.rect;
}

// One group's matching: its due templates that need it and whose prepared spectra the cache
// keeps (a template it cannot keep is matched alone by RunEvaluation, so that at most one such
// preparation per thread is alive). Prepared here, on the loop's thread.
void PlanGroupWork(const DetectionContext& context, DetectionLoopState& state, std::size_t g) {
  DetectionLoopState::GroupWork& w = state.work[g];
  w.templates.clear();
  w.prepared.clear();
  w.requests.clear();
  w.due.clear();
  const DetectionLoopState::Group& group = state.groups[g];
  if (group.memory == nullptr || !group.captured) return;
  const cv::Size size = group.memory->pixels.size();
  std::vector<std::size_t> members;
  for (std::size_t i = 0; i < state.due.size(); ++i) {
    const DetectionLoopState::DueEntry& entry = state.due[i];
    if (entry.group != g || Reusable(entry, group)) continue;
    const TemplateInfo& info = *entry.info;
    if (info.image.cols > size.width || info.image.rows > size.height) continue;
    members.push_back(i);
  }
  w.templates.reserve(members.size());  // the requests point into it
  for (const std::size_t i : members) {
    const TemplateInfo& info = *state.due[i].info;
    RecordMemory* memory = state.due[i].memory;
    MatchTemplate templ = MatchInputOf(info);
    const cv::Size dft = GeometryFor(size, templ.Size()).dft;
    if (memory != nullptr && memory->unkept &&
        !state.cache->Holds(info.serial.Value(), dft, context.transform)) {
      continue;
    }
    bool kept = false;
    auto prepared = state.cache->Get(info.serial.Value(), templ, dft, context.transform,
                                     state.threads[0]->workspace, &kept);
    if (!kept) {
      if (memory != nullptr) memory->unkept = true;
      continue;
    }
    w.templates.push_back(std::move(templ));
    w.prepared.push_back(std::move(prepared));
    w.due.push_back(i);
  }
  for (std::size_t r = 0; r < w.templates.size(); ++r) {
    w.requests.push_back({&w.templates[r], w.prepared[r].get(), {}, false});
  }
  w.work.Plan(size, w.requests);
}

// Spot colours and decisions are light next to matching, but a slice still shares its group's
// grey plane: fewer templates than this run on one thread.
constexpr std::size_t kTemplatesPerSlice = 4;

// The pass's decision jobs for `threads` threads: per group, its due templates in snapshot order,
// cut into slices when the group has enough templates to keep more than one thread busy.
void PlanSlices(DetectionLoopState& state, int threads) {
  state.order.clear();
  state.slices.clear();
  std::vector<std::size_t> counts(state.groups.size(), 0);
  for (const DetectionLoopState::DueEntry& entry : state.due) ++counts[entry.group];
  std::vector<std::size_t> starts(state.groups.size(), 0);
  for (std::size_t g = 1; g < counts.size(); ++g) starts[g] = starts[g - 1] + counts[g - 1];
  state.order.resize(state.due.size());
  std::vector<std::size_t> next = starts;
  for (std::size_t i = 0; i < state.due.size(); ++i) state.order[next[state.due[i].group]++] = i;
  const auto width = static_cast<std::size_t>(std::max(threads, 1));
  for (std::size_t g = 0; g < counts.size(); ++g) {
    if (counts[g] == 0) continue;
    const std::size_t pieces =
        std::clamp<std::size_t>(counts[g] / kTemplatesPerSlice, std::size_t{1}, width);
    for (std::size_t p = 0; p < pieces; ++p) {
      const std::size_t begin = counts[g] * p / pieces;
      const std::size_t end = counts[g] * (p + 1) / pieces;
      state.slices.push_back({g, starts[g] + begin, end - begin});
    }
  }
}

void ResizeOutcomes(DetectionLoopState& state) {
  const std::size_t n = state.due.size();
  if (state.evaluations.size() < n) state.evaluations.resize(n);
  if (state.outcomes.size() < n) state.outcomes.resize(n);
  if (state.errors.size() < n) state.errors.resize(n);
  state.evaluated.assign(n, 0);
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

void RunMatching(const DetectionContext& context, DetectionLoopState& state, int threads,
                 std::stop_token stop) {
  if (state.threads.empty()) state.threads.push_back(std::make_unique<DetectionLoopState::PassThread>());
  if (state.work.size() < state.groups.size()) state.work.resize(state.groups.size());
  state.units.clear();
  state.scores.assign(state.due.size(), MatchScore{});
  state.scored.assign(state.due.size(), 0);
  for (std::size_t g = 0; g < state.groups.size(); ++g) {
    DetectionLoopState::GroupWork& w = state.work[g];
    try {
      PlanGroupWork(context, state, g);
    } catch (...) {
      w.requests.clear();  // its templates are matched one by one, each containing its error
      w.work.Plan(cv::Size(), w.requests);
    }
    w.firstUnit = state.units.size();
    for (std::size_t u = 0; u < w.work.Units(); ++u) state.units.push_back({g, u});
  }
  state.unitFailed.assign(state.units.size(), 1);
  RunOnPool(state, threads, state.units.size(), [&](std::size_t j, int worker) {
    if (stop.stop_requested()) return;
    DetectionLoopState::PassThread& thread = *state.threads[static_cast<std::size_t>(worker)];
    const DetectionLoopState::UnitRef ref = state.units[j];
    try {
      if (thread.unitGroup != ref.group) {
        thread.unitRegion.Reset(state.groups[ref.group].memory->pixels);
        thread.unitGroup = ref.group;
      }
      state.work[ref.group].work.Run(ref.unit, thread.unitRegion, thread.workspace);
      state.unitFailed[j] = 0;
    } catch (...) {
      state.unitFailed[j] = 1;  // the group's templates are then matched one by one
    }
  });
  for (const auto& thread : state.threads) {
    thread->unitRegion.Reset(cv::Mat());  // it would keep the remembered pixels alive
    thread->unitGroup = SIZE_MAX;
  }
  for (std::size_t g = 0; g < state.groups.size(); ++g) {
    DetectionLoopState::GroupWork& w = state.work[g];
    const auto first = state.unitFailed.begin() + static_cast<std::ptrdiff_t>(w.firstUnit);
    const bool complete =
        std::none_of(first, first + static_cast<std::ptrdiff_t>(w.work.Units()),
                     [](unsigned char failed) { return failed != 0; });
    if (complete) {
      w.work.Finish();
      for (std::size_t r = 0; r < w.requests.size(); ++r) {
        if (!w.requests[r].done) continue;
        const std::size_t i = w.due[r];
        state.scores[i] =
            ScoreFromSummary(w.requests[r].summary, w.templates[r].method == cv::TM_SQDIFF_NORMED);
        state.scored[i] = 1;
      }
    }
    // The requests point at the templates' planes: nothing of them is kept past the pass.
    w.requests.clear();
    w.prepared.clear();
    w.templates.clear();
    w.work.Plan(cv::Size(), w.requests);
  }
}

void RunSlices(const DetectionContext& context, DetectionLoopState& state, int threads,
               std::stop_token stop) {
  PlanSlices(state, threads);
  ResizeOutcomes(state);
  ReuseCounters* counters = state.counters.get();
  RunOnPool(state, threads, state.slices.size(), [&](std::size_t s, int worker) {
    if (stop.stop_requested()) return;
    DetectionLoopState::PassThread& thread = *state.threads[static_cast<std::size_t>(worker)];
    const DetectionLoopState::Slice& slice = state.slices[s];
    SharedCapture& shared = thread.capture;
    ShareGroup(state.groups[slice.group], shared);
    EvaluationEngine engine{&thread.workspace, context.transform, state.cache.get(), &thread.spot,
                            stop, nullptr};
    for (std::size_t k = 0; k < slice.count; ++k) {
      if (stop.stop_requested()) break;
      const std::size_t i = state.order[slice.first + k];
      engine.prescored = state.scored[i] != 0 ? &state.scores[i] : nullptr;
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
