// The MatchCache: the prepared template spectra (PreparedMatch) of the templates being evaluated,
// keyed by the caller's id for the template, the tile size and the transform, within a byte
// budget.
//
// The DetectionLoop owns one, so that a template is prepared once, not once per pass. The kept
// entries are a stable subset: an entry stays until its template leaves (Retain), and one that
// does not fit beside them is made for its use only and dropped after it (kept false), never in
// place of another. A working set over the budget therefore costs one preparation per pass for
// each template that does not fit, never a cycle of evictions that prepares every template again.
//
// Threads: Get may be called from any evaluating thread at once (one mutex; preparing runs
// outside it). Retain and the counters are for the loop's thread between passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "match/matcher.h"
#include "match/transform.h"

namespace tavrik {

inline constexpr std::size_t kDefaultMatchBudgetBytes = std::size_t{128} << 20;

class MatchCache {
 public:
  explicit MatchCache(std::size_t budgetBytes = kDefaultMatchBudgetBytes);
  MatchCache(const MatchCache&) = delete;
  MatchCache& operator=(const MatchCache&) = delete;

  // The prepared match of template `id` (`templ`) for tiles of `dft` and `transform`, made with
  // `workspace` when absent. `kept`, when given, says whether it is held for later passes.
  std::shared_ptr<const PreparedMatch> Get(std::uint64_t id, const MatchTemplate& templ,
                                           cv::Size dft, TransformKind transform,
                                           MatchWorkspace& workspace, bool* kept = nullptr);

  // Whether template `id` has an entry for `dft` and `transform` (no preparation).
  bool Holds(std::uint64_t id, cv::Size dft, TransformKind transform) const;

  // Drops the entries of every id not in `liveIds` (sorted).
  void Retain(const std::vector<std::uint64_t>& liveIds);

  std::size_t Bytes() const;
  std::size_t Entries() const;
  std::size_t Budget() const { return budget_; }
  std::uint64_t Preparations() const;  // every PrepareMatch call it made
  std::uint64_t Unkept() const;        // of those, the ones made for one use only

 private:
  struct Entry {
    std::uint64_t id = 0;
    cv::Size dft;
    TransformKind transform = TransformKind::kOpenCv;
    std::shared_ptr<const PreparedMatch> prepared;
    std::size_t bytes = 0;
  };
  const Entry* FindLocked(std::uint64_t id, cv::Size dft, TransformKind transform) const;

  const std::size_t budget_;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::size_t bytes_ = 0;
  std::uint64_t preparations_ = 0;
  std::uint64_t unkept_ = 0;
};

}  // namespace tavrik
