// The MatchCache: the prepared template spectra (PreparedMatch) of the templates being evaluated,
// keyed by record, region size and transform, within a byte budget.
//
// The DetectionLoop owns one. It holds what PrepareMatch made so that a template is prepared once
// per region size, not once per pass. Beyond the budget the least recently used entries are
// evicted (an evicted template is prepared again when next evaluated: slower, never wrong).
// Entries of records that left the registry are dropped at the next pass (Retain), so a remove
// or a clear gives their memory back.
//
// The budget (kDefaultMatchBudgetBytes, 128 MiB) covers what detection keeps between and during
// passes: these prepared spectra, plus the evaluating threads' workspaces and derived region data,
// which the loop releases when the total is above the budget at the end of a pass
// (detect/detection_loop.cpp). Captured pixels are outside it: they cost what the watched
// rectangles are.
//
// Threads: Get may be called from any evaluating thread at once (one mutex; preparing runs
// outside it). Retain, EvictTo and the counters are for the loop's thread between passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "detect/matcher.h"
#include "detect/transform.h"
#include "registry/template_info.h"

namespace tavrik {

inline constexpr std::size_t kDefaultMatchBudgetBytes = std::size_t{128} << 20;

class MatchCache {
 public:
  explicit MatchCache(std::size_t budgetBytes = kDefaultMatchBudgetBytes);
  MatchCache(const MatchCache&) = delete;
  MatchCache& operator=(const MatchCache&) = delete;

  // The prepared match of `info` for `region` and `transform`, made with `workspace` when
  // absent. Inserting beyond the budget evicts least recently used entries (never the one
  // returned; entries in use stay alive through their shared_ptr).
  std::shared_ptr<const PreparedMatch> Get(const TemplateInfo& info, cv::Size region,
                                           TransformKind transform, MatchWorkspace& workspace);

  // Drops the entries of every record whose serial is not in `liveSerials` (sorted).
  void Retain(const std::vector<std::uint64_t>& liveSerials);

  // Evicts least recently used entries until at most `bytes` are held.
  void EvictTo(std::size_t bytes);

  std::size_t Bytes() const;
  std::size_t Entries() const;
  std::size_t Budget() const { return budget_; }
  std::uint64_t Preparations() const;  // how many PrepareMatch calls it made

 private:
  struct Entry {
    std::uint64_t serial = 0;
    cv::Size region;
    TransformKind transform = TransformKind::kOpenCv;
    std::shared_ptr<const PreparedMatch> prepared;
    std::size_t bytes = 0;
  };
  void EvictLocked(std::size_t bytes, const Entry* keep);

  const std::size_t budget_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
  std::size_t bytes_ = 0;
  std::uint64_t preparations_ = 0;
};

}  // namespace tavrik
