#include "match/match_cache.h"

#include <algorithm>

namespace tavrik {

MatchCache::MatchCache(std::size_t budgetBytes) : budget_(budgetBytes) {}

const MatchCache::Entry* MatchCache::FindLocked(std::uint64_t id, cv::Size dft,
                                                TransformKind transform) const {
  for (const Entry& e : entries_) {
    if (e.id == id && e.dft == dft && e.transform == transform) return &e;
  }
  return nullptr;
}

std::shared_ptr<const PreparedMatch> MatchCache::Get(std::uint64_t id, const MatchTemplate& templ,
                                                     cv::Size dft, TransformKind transform,
                                                     MatchWorkspace& workspace, bool* kept) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const Entry* e = FindLocked(id, dft, transform)) {
      if (kept != nullptr) *kept = true;
      return e->prepared;
    }
  }
  // Two threads never prepare the same template at once: a template is evaluated by one thread.
  std::shared_ptr<const PreparedMatch> prepared = PrepareMatch(templ, dft, transform, workspace);
  const std::size_t bytes = prepared->Bytes();
  const std::lock_guard<std::mutex> lock(mutex_);
  ++preparations_;
  const bool fits = bytes <= budget_ && bytes_ <= budget_ - bytes;
  if (fits) {
    entries_.push_back(Entry{id, dft, transform, prepared, bytes});
    bytes_ += bytes;
  } else {
    ++unkept_;
  }
  if (kept != nullptr) *kept = fits;
  return prepared;
}

bool MatchCache::Holds(std::uint64_t id, cv::Size dft, TransformKind transform) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return FindLocked(id, dft, transform) != nullptr;
}

void MatchCache::Retain(const std::vector<std::uint64_t>& liveIds) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto gone = [&](const Entry& e) {
    return !std::binary_search(liveIds.begin(), liveIds.end(), e.id);
  };
  for (const Entry& e : entries_) {
    if (gone(e)) bytes_ -= e.bytes;
  }
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), gone), entries_.end());
  if (entries_.empty()) std::vector<Entry>().swap(entries_);
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

std::uint64_t MatchCache::Unkept() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return unkept_;
}

}  // namespace tavrik
