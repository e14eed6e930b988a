#include "detect/match_cache.h"

#include <algorithm>

namespace tavrik {

MatchCache::MatchCache(std::size_t budgetBytes) : budget_(budgetBytes) {}

std::shared_ptr<const PreparedMatch> MatchCache::Get(const TemplateInfo& info, cv::Size region,
                                                     TransformKind transform,
                                                     MatchWorkspace& workspace) {
  const std::uint64_t serial = info.serial.Value();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->serial == serial && it->region == region && it->transform == transform) {
        entries_.splice(entries_.begin(), entries_, it);
        return entries_.front().prepared;
      }
    }
  }
  // Two threads never prepare the same record at once: a record is evaluated by one thread.
  std::shared_ptr<const PreparedMatch> prepared = PrepareMatch(info, region, transform, workspace);
  const std::lock_guard<std::mutex> lock(mutex_);
  ++preparations_;
  entries_.push_front(Entry{serial, region, transform, prepared, prepared->Bytes()});
  bytes_ += entries_.front().bytes;
  EvictLocked(budget_, &entries_.front());
  return prepared;
}

void MatchCache::Retain(const std::vector<std::uint64_t>& liveSerials) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (std::binary_search(liveSerials.begin(), liveSerials.end(), it->serial)) {
      ++it;
    } else {
      bytes_ -= it->bytes;
      it = entries_.erase(it);
    }
  }
}

void MatchCache::EvictTo(std::size_t bytes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  EvictLocked(bytes, nullptr);
}

void MatchCache::EvictLocked(std::size_t bytes, const Entry* keep) {
  while (bytes_ > bytes && !entries_.empty() && &entries_.back() != keep) {
    bytes_ -= entries_.back().bytes;
    entries_.pop_back();
  }
}

std::size_t MatchCache::Bytes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

std::size_t MatchCache::Entries() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::uint64_t MatchCache::Preparations() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return preparations_;
}

}  // namespace tavrik
