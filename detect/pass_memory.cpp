#include "detect/pass_memory.h"

#include <algorithm>
#include <iterator>

#include "base/memory_trim.h"
#include "detect/detection_loop.h"

namespace tavrik {
namespace {

// Passes in a row that may leave a grab buffer more than half unused before it is released.
constexpr int kGrabSparePassLimit = 20;

std::size_t MatBytesOf(const cv::Mat& m) { return m.empty() ? 0 : m.total() * m.elemSize(); }

void ReleaseThread(DetectionLoopState::PassThread& thread) {
  thread.workspace.Release();
  thread.spot = SpotScratch();
  thread.capture.region.Release();
  thread.capture.pixels.release();
  thread.capture.storage.release();
  thread.grab.release();
  thread.grabUsed = 0;
  thread.grabSparePasses = 0;
  thread.unitRegion.Release();
  thread.unitGroup = SIZE_MAX;
}

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

}  // namespace

std::size_t ThreadBytes(const DetectionLoopState::PassThread& thread) {
  return thread.workspace.Bytes() + thread.capture.region.Bytes() + thread.unitRegion.Bytes() +
         MatBytesOf(thread.capture.storage) + MatBytesOf(thread.grab);
}

std::size_t DetectionBytes(const DetectionLoopState& state) {
  std::size_t bytes = state.cache->Bytes();
  for (const auto& thread : state.threads) bytes += ThreadBytes(*thread);
  return bytes;
}

bool ForgetRemovedRecords(const TemplateSnapshot& snapshot, DetectionLoopState& state) {
  std::vector<std::uint64_t> live;
  live.reserve(snapshot.size());
  for (const TemplatePtr& info : snapshot) {
    if (info) live.push_back(info->serial.Value());
  }
  std::sort(live.begin(), live.end());
  // Records that only joined leave every buffer of use: they grow what they need in the pass.
  const bool left = !std::includes(live.begin(), live.end(), state.liveSerials.begin(),
                                   state.liveSerials.end());
  state.liveSerials = std::move(live);
  if (!left) return false;
  std::vector<std::uint64_t> fitted;
  std::set_intersection(state.fittedSerials.begin(), state.fittedSerials.end(),
                        state.liveSerials.begin(), state.liveSerials.end(),
                        std::back_inserter(fitted));
  state.fittedSerials = std::move(fitted);
  state.cache->Retain(state.liveSerials);
  for (auto& [record, entry] : state.records) entry.memory.unkept = false;  // there may be room
  for (auto& thread : state.threads) ReleaseThread(*thread);
  // The previous pass's evaluations still hold views of its pixels. Swapped out, not `= {}`,
  // which would keep the capacity.
  std::vector<Evaluation>().swap(state.evaluations);
  std::vector<std::string>().swap(state.errors);
  std::vector<DetectionLoopState::GroupWork>().swap(state.work);
  return true;
}

void ForgetUnwatched(DetectionLoopState& state) {
  ForgetUnwatchedIn(state.rectangles);
  ForgetUnwatchedIn(state.records);
}

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

void KeepAfterPass(DetectionLoopState& state, bool freed) {
  ForgetUnwatched(state);
  TrimGrabBuffers(state);
  if (freed) ReturnFreeMemory();
}

void RestWhenIdle(const DetectionContext& context, DetectionLoopState& state,
                  const TemplateSnapshot& snapshot) {
  const bool released = ForgetRemovedRecords(snapshot, state);
  ForgetUnwatched(state);
  TrimGrabBuffers(state);
  if (!released) return;
  // Nothing is watched any more: the helper threads end and take their capture buffers with
  // them, this thread gives its own back, and the freed heap goes back to the system.
  state.pool.reset();
  if (context.releaseCapture) context.releaseCapture();
  ReturnFreeMemory();
}

}  // namespace tavrik
