// What one template may cost the matching, held at add: a template whose own need is above the
// budget is refused there, so no admitted template can take the worker past it alone.
//
// A template's need (match/tile_layout.h NeedFor) is its prepared spectra, kept between passes,
// plus, for every evaluating thread, the region's tile spectra and the scratch of its tile size.
// Several admitted templates together may need more; then the MatchCache keeps what fits and the
// rest is prepared per evaluation (slower, never more memory than one template's need per thread).
//
// Threads: pure; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "registry/template_info.h"

namespace tavrik {

inline constexpr std::size_t kMatchNeedBudgetBytes = std::size_t{256} << 20;

// The bytes matching `info` on its region (rawRoi's size) needs with `threads` evaluating threads.
std::size_t MatchNeedBytes(const TemplateInfo& info, int threads);

// "" when `info` fits the budget alone; else the "[Spec] Refused template" line naming its need
// and the budget.
std::string MatchNeedRefusal(const TemplateInfo& info, int threads,
                             std::size_t budget = kMatchNeedBudgetBytes);

}  // namespace tavrik
