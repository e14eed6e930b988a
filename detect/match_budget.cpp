#include "detect/match_budget.h"

#include "base/numeric.h"
#include "detect/match_score.h"
#include "match/tile_layout.h"

namespace tavrik {
namespace {

std::size_t MiBUp(std::size_t bytes) { return (bytes + (std::size_t{1} << 20) - 1) >> 20; }

}  // namespace

std::size_t MatchNeedBytes(const TemplateInfo& info, int threads) {
  const cv::Size region(info.rawRoi.width, info.rawRoi.height);
  const cv::Size templ = info.image.size();
  // A region smaller than the template is never matched (its score is -1).
  if (templ.width < 1 || templ.height < 1 || region.width < templ.width ||
      region.height < templ.height) {
    return 0;
  }
  return NeedFor(MatchInputOf(info).kind, region, templ).Bytes(threads);
}

std::string MatchNeedRefusal(const TemplateInfo& info, int threads, std::size_t budget) {
  const std::size_t need = MatchNeedBytes(info, threads);
  if (need <= budget) return {};
  return (LineText() << "[Spec] Refused template '" << info.name << "': matching its "
                     << info.image.cols << "x" << info.image.rows << " image on a region of "
                     << info.rawRoi.width << "x" << info.rawRoi.height << " needs " << MiBUp(need)
                     << " MiB, more than the matching budget of " << (budget >> 20) << " MiB")
      .str();
}

}  // namespace tavrik
