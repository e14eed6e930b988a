// The pictures tavrik-ctl probe draws for tuning a template: the decision drawn on the evaluated
// region (--out), and the score map as a heat map (--heatmap).
//
// Pure image functions over an evaluation that has been decided; safe from any thread.
#pragma once

#include <opencv2/core/mat.hpp>
#include <string>

#include "detect/evaluation.h"
#include "registry/template_info.h"

namespace tavrik::ctl {

// The region with a margin, the ROI's edge outlined, the best match boxed (2 px, green for a hit,
// red for a miss, with a dark outline so it shows on any colour) and a caption band below: the
// name, score, threshold, HIT or MISS and the reason.
cv::Mat DrawDecision(const Evaluation& evaluation, const TemplateInfo& info);

// The template's score at every placement in `region`, larger is better, as the worker's matcher
// ranks them (squared difference turned into 1 - difference); non-finite values become 0.
cv::Mat ScoreMap(const cv::Mat& region, const TemplateInfo& info);

// `scores` in colour (blue low, red high, over the map's own range), magnified so that it can be
// read, with the placements at or above `threshold` outlined in white, the best placement marked,
// and a caption with the map's range, the threshold and the best score.
cv::Mat DrawHeatmap(const cv::Mat& scores, double threshold);

// Where DrawHeatmap draws placement `placement` of a map of `scores` size: the centre of its cell
// in the picture (the best placement's cross is centred there).
cv::Point HeatmapCentreOf(cv::Size scores, cv::Point placement);

// Encodes by the file's extension and writes it. False, with `error`, when either fails.
bool WriteImage(const cv::Mat& image, const std::string& fileUtf8, std::string& error);

}  // namespace tavrik::ctl
