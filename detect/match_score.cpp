#include "detect/match_score.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace tavrik {

double CorrelationScoreFromMax(double maximum) { return std::isfinite(maximum) ? maximum : 0.0; }

double SqDiffScoreFromMin(double minimum) {
  const double m = std::isfinite(minimum) ? minimum : 1.0;
  return std::clamp(1.0 - m, 0.0, 1.0);
}

int MatchMethod(const TemplateInfo& info) {
  if (info.isT3 || info.kind == TemplateKindId::kT3) return cv::TM_SQDIFF_NORMED;
  return info.kind == TemplateKindId::kT2 ? cv::TM_CCORR_NORMED : cv::TM_CCOEFF_NORMED;
}

bool MatchesInGrey(const TemplateInfo& info) {
  return MatchMethod(info) != cv::TM_CCORR_NORMED && !info.gray.empty();
}

MatchTemplate MatchInputOf(const TemplateInfo& info) {
  MatchTemplate t;
  t.method = MatchMethod(info);
  t.grey = MatchesInGrey(info);
  t.greyPlane = info.gray;
  t.colour = info.image;
  t.mask = info.edgeMask;
  t.kind = KindOf(t);
  return t;
}

void TemplateMatchMap(RegionPixels& region, const TemplateInfo& info, TransformKind kind,
                      MatchWorkspace& workspace, cv::Mat& map) {
  const MatchTemplate templ = MatchInputOf(info);
  const cv::Size dft = GeometryFor(region.Pixels().size(), templ.Size()).dft;
  const auto prepared = PrepareMatch(templ, dft, kind, workspace);
  ComputeMatchMap(region, templ, *prepared, workspace, map);
}

MatchScore ScoreFromSummary(const MapSummary& s, bool sqDiff) {
  MatchScore score;
  score.matchLoc = {s.bestLoc.x, s.bestLoc.y};
  if (sqDiff) {
    score.raw = SqDiffScoreFromMin(s.count == 0 ? 1.0 : s.best);
    score.mapMean = 0.0;
  } else {
    score.raw = CorrelationScoreFromMax(s.best);
    score.mapMean = s.count == 0 ? 0.0 : s.sum / static_cast<double>(s.count);
  }
  return score;
}

MatchScore ScoreFromMap(const cv::Mat& map, bool sqDiff) {
  MapSummary summary;
  FoldMap(map, {0, 0}, sqDiff, summary);
  return ScoreFromSummary(summary, sqDiff);
}

bool ScoreTemplates(RegionPixels& region, std::span<ScoreJob> jobs, MatchWorkspace& workspace,
                    TransformKind kind, MatchCache* cache, std::stop_token stop) {
  const cv::Size size = region.Pixels().size();
  std::vector<MatchTemplate> templates(jobs.size());
  std::vector<std::shared_ptr<const PreparedMatch>> held;
  std::vector<MatchRequest> requests;
  std::vector<std::size_t> owners;
  const auto prepare = [&](std::size_t k, bool& kept) {
    const TemplateInfo& info = *jobs[k].info;
    const cv::Size dft = GeometryFor(size, templates[k].Size()).dft;
    kept = true;
    return cache != nullptr
               ? cache->Get(info.serial.Value(), templates[k], dft, kind, workspace, &kept)
               : PrepareMatch(templates[k], dft, kind, workspace);
  };
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    ScoreJob& job = jobs[k];
    if (job.done) continue;
    if (size.width < job.info->image.cols || size.height < job.info->image.rows) {
      job.score = MatchScore{};  // {0, (0,0), -1}: no threshold accepts it
      job.done = true;
      continue;
    }
    templates[k] = MatchInputOf(*job.info);
    bool kept = true;
    std::shared_ptr<const PreparedMatch> prepared = prepare(k, kept);
    const bool sqDiff = MatchMethod(*job.info) == cv::TM_SQDIFF_NORMED;
    if (!kept) {
      MatchRequest alone{&templates[k], prepared.get(), {}, false};
      if (!MatchRegion(region, std::span<MatchRequest>(&alone, 1), workspace, stop)) return false;
      job.score = ScoreFromSummary(alone.summary, sqDiff);
      job.done = true;
      continue;
    }
    requests.push_back({&templates[k], prepared.get(), {}, false});
    owners.push_back(k);
    held.push_back(std::move(prepared));
  }
  const bool complete = MatchRegion(region, requests, workspace, stop);
  for (std::size_t r = 0; r < requests.size(); ++r) {
    if (!requests[r].done) continue;
    ScoreJob& job = jobs[owners[r]];
    job.score = ScoreFromSummary(requests[r].summary,
                                 MatchMethod(*job.info) == cv::TM_SQDIFF_NORMED);
    job.done = true;
  }
  return complete;
}

MatchScore ScoreRegion(RegionPixels& region, const TemplateInfo& info, MatchWorkspace& workspace,
                       TransformKind kind, MatchCache* cache, std::stop_token stop) {
  ScoreJob job{&info, {}, false};
  if (!ScoreTemplates(region, std::span<ScoreJob>(&job, 1), workspace, kind, cache, stop)) {
    throw EvaluationStopped{};
  }
  return job.score;
}

MatchScore ScoreTemplateMatch(const cv::Mat& region, const TemplateInfo& info) {
  if (region.cols < info.image.cols || region.rows < info.image.rows) return MatchScore{};
  thread_local RegionPixels pixels;
  pixels.Reset(region);
  const MatchScore score =
      ScoreRegion(pixels, info, ThreadMatchWorkspace(), DefaultTransformKind(), nullptr);
  pixels.Reset(cv::Mat());
  return score;
}

}  // namespace tavrik
