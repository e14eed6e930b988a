#include "detect/template_prepare.h"

#include <algorithm>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/color_metrics.h"
#include "match/cv_compat.h"
#include "detect/edge_mask.h"
#include "registry/template_kind.h"

namespace tavrik {

double StoredThreshold(TemplateKindId kind, float requested) {
  double threshold = kind == TemplateKindId::kT2 ? kT2Threshold
                     : requested > 0.0f          ? static_cast<double>(requested)
                                                 : kDefaultThreshold;
  if (kind == TemplateKindId::kT3) threshold = std::clamp(threshold, 0.0, 1.0);
  return threshold;
}

bool PrepareTemplate(TemplateInfo& info, float requestedThreshold) {
  AssignKind(info);
  try {
    cvc::CvtColor(info.image, info.gray, cv::COLOR_BGR2GRAY);
    if (info.kind == TemplateKindId::kT2) info.edgeMask = BuildEdgeMask(info.image);
    info.hueSat = MeanHueSat(info.image);
    info.lab = MeanLab(info.image);
  } catch (const cv::Exception&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  // Registration always stores unit scale and no baseline margin, whatever the command carried.
  info.scale = 1.0;
  info.baselineMargin = 0.0;
  info.threshold = StoredThreshold(info.kind, requestedThreshold);
  return true;
}

}  // namespace tavrik
