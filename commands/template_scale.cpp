#include "commands/template_scale.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "base/numeric.h"
#include "commands/template_loader.h"

namespace tavrik {
namespace {

// Hundredths of the factor in "<base>@<digit>[.<one or two digits>]x", where <base> is not empty.
// Works on the native string type: the suffix is ASCII on every file system.
template <typename Char>
std::optional<int> SuffixHundredths(const std::basic_string<Char>& stem) {
  const auto at = stem.rfind(static_cast<Char>('@'));
  if (at == std::basic_string<Char>::npos || at == 0) return std::nullopt;
  const std::basic_string<Char> text = stem.substr(at + 1);
  const auto digit = [&](std::size_t i) -> std::optional<int> {
    if (i >= text.size() || text[i] < static_cast<Char>('0') || text[i] > static_cast<Char>('9')) {
      return std::nullopt;
    }
    return static_cast<int>(text[i] - static_cast<Char>('0'));
  };
  const std::optional<int> whole = digit(0);
  if (!whole) return std::nullopt;
  int hundredths = *whole * 100;
  std::size_t i = 1;
  if (i < text.size() && text[i] == static_cast<Char>('.')) {
    const std::optional<int> tenths = digit(2);
    if (!tenths) return std::nullopt;
    hundredths += *tenths * 10;
    i = 3;
    if (const std::optional<int> last = digit(3)) {
      hundredths += *last;
      i = 4;
    }
  }
  if (i + 1 != text.size() || text[i] != static_cast<Char>('x')) return std::nullopt;
  return hundredths;
}

}  // namespace

std::optional<double> DeclaredScale(const std::filesystem::path& file) {
  const std::optional<int> hundredths = SuffixHundredths(file.filename().stem().native());
  if (!hundredths || *hundredths < std::lround(kMinDeclaredScale * 100) ||
      *hundredths > std::lround(kMaxDeclaredScale * 100)) {
    return std::nullopt;
  }
  return *hundredths / 100.0;
}

TemplateScaling PlanTemplateScaling(const std::filesystem::path& file, int width, int height,
                                    std::optional<std::int32_t> windowDpi,
                                    std::optional<IntRect> region) {
  using Result = TemplateScaling::Result;
  TemplateScaling plan;
  plan.width = width;
  plan.height = height;
  const std::optional<double> declared = DeclaredScale(file);
  if (!declared) return plan;
  plan.declared = *declared;
  if (!windowDpi || *windowDpi <= 0) {
    plan.result = Result::kDpiUnknown;
    return plan;
  }
  plan.windowDpi = *windowDpi;
  const double declaredDpi = *declared * kDefaultDpi;
  plan.ratio = *windowDpi / declaredDpi;
  if (std::abs(*windowDpi - declaredDpi) <= 0.01 * declaredDpi) {
    plan.result = Result::kSameScale;
    return plan;
  }
  // In doubles first: a window of absurd DPI must not overflow the size.
  const double scaledWidth = std::max(1.0, std::round(width * plan.ratio));
  const double scaledHeight = std::max(1.0, std::round(height * plan.ratio));
  if (scaledWidth * scaledHeight > static_cast<double>(kMaxTemplatePixels)) {
    plan.result = Result::kOverPixelBound;
  } else if (region && (scaledWidth > region->width || scaledHeight > region->height)) {
    plan.result = Result::kLargerThanRegion;
  } else {
    plan.result = Result::kScaled;
  }
  // Within the pixel bound, or refused: either way the product is small enough to tell.
  plan.width = static_cast<int>(std::min(scaledWidth, static_cast<double>(kMaxTemplatePixels)));
  plan.height = static_cast<int>(std::min(scaledHeight, static_cast<double>(kMaxTemplatePixels)));
  return plan;
}

cv::Mat ResizeTemplateImage(const cv::Mat& image, const TemplateScaling& plan) {
  try {
    cv::Mat resized;
    cv::resize(image, resized, cv::Size(plan.width, plan.height), 0.0, 0.0,
               plan.ratio < 1.0 ? cv::INTER_AREA : cv::INTER_CUBIC);
    return resized;
  } catch (const cv::Exception&) {
    return cv::Mat();
  } catch (const std::bad_alloc&) {
    return cv::Mat();
  }
}

std::string ScalingText(const TemplateScaling& plan) {
  return (LineText() << plan.declared << "x to " << plan.WindowScale() << "x (window "
                     << plan.windowDpi << " dpi)")
      .str();
}

std::string RefusalText(const TemplateScaling& plan, std::optional<IntRect> region) {
  LineText text;
  text << "scaled from " << ScalingText(plan) << " it would be " << plan.width << "x"
       << plan.height;
  if (plan.result == TemplateScaling::Result::kOverPixelBound) {
    text << ", more than " << kMaxTemplatePixels << " pixels";
  } else if (region) {
    text << ", larger than the region " << region->width << "x" << region->height;
  }
  return text.str();
}

bool ApplyDeclaredScale(const LogSink& log, TemplateInfo& info,
                        std::optional<std::int32_t> windowDpi, const IntRect& region) {
  using Result = TemplateScaling::Result;
  const TemplateScaling plan =
      PlanTemplateScaling(info.path, info.image.cols, info.image.rows, windowDpi, region);
  switch (plan.result) {
    case Result::kNoDeclaration:
    case Result::kSameScale:
      return true;
    case Result::kDpiUnknown:
      log.Emit((LineText() << "[Spec] Template '" << info.name << "' declares " << plan.declared
                           << "x, but the window's DPI is unknown: used as cut")
                   .str());
      return true;
    case Result::kOverPixelBound:
    case Result::kLargerThanRegion:
      log.Emit((LineText() << "[Spec] Refused template '" << info.name
                           << "': " << RefusalText(plan, region))
                   .str(),
               LogSeverity::kWarning);
      return false;
    case Result::kScaled:
      break;
  }
  cv::Mat resized = ResizeTemplateImage(info.image, plan);
  if (resized.empty()) {
    log.Emit((LineText() << "[Spec] Refused template '" << info.name << "': it could not be scaled "
                         << ScalingText(plan))
                 .str(),
             LogSeverity::kWarning);
    return false;
  }
  info.image = std::move(resized);
  log.Emit((LineText() << "[Spec] Scaled template '" << info.name << "' from " << ScalingText(plan))
               .str());
  return true;
}

}  // namespace tavrik
