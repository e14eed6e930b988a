// add's local view of its template: where the worker will look for it, and add --check.
#include <filesystem>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <system_error>

#include "base/executable_path.h"
#include "base/numeric.h"
#include "base/utf.h"
#include "capture/image_name.h"
#include "capture/target_window.h"
#include "commands/template_loader.h"
#include "commands/template_path.h"
#include "commands/template_scale.h"
#include "detect/template_prepare.h"
#include "registry/template_info.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/options.h"
#include "tools/ctl/probe.h"
#include "tools/ctl/template_check.h"

namespace tavrik::ctl {
namespace {

std::filesystem::path FromUtf16(const std::u16string& text) {
  const std::string utf8 = ToUtf8(text);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Shown(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::vector<std::string> TemplatePathWarnings(const SpecCommand& add) {
  const std::filesystem::path given = FromUtf16(add.path);
  if (given.empty() || given.is_absolute()) return {};
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::absolute(given, ec);
  if (ec || !std::filesystem::exists(here, ec)) return {};
  const std::filesystem::path workerDirectory = ExecutableDirectory();
  const std::filesystem::path resolved = ResolveTemplatePath(add.path, workerDirectory);
  if (std::filesystem::equivalent(here, resolved, ec) && !ec) return {};
  return {"--path " + Shown(given) +
          " is relative: it exists in the current directory, but the worker resolves relative "
          "paths from its own directory (" +
          Shown(workerDirectory) + ") upward, then in the data directories, and will try " +
          Shown(resolved) + ". Give an absolute path (" + Shown(here) + ") to use this file."};
}

bool ScaleAsTheWorkerWould(TemplateInfo& info, float threshold,
                           std::optional<std::int32_t> windowDpi, std::optional<IntRect> region,
                           TemplateScaling& plan, std::string& error) {
  plan = PlanTemplateScaling(info.path, info.image.cols, info.image.rows, windowDpi, region);
  if (plan.Refused()) {
    error = "the worker would refuse it: " + RefusalText(plan, region);
    return false;
  }
  if (plan.result != TemplateScaling::Result::kScaled) return true;
  info.image = ResizeTemplateImage(info.image, plan);
  if (info.image.empty() || !PrepareTemplate(info, threshold)) {
    error = "the template could not be scaled " + ScalingText(plan);
    return false;
  }
  return true;
}

std::string ScaleFigure(const TemplateScaling& plan) {
  using Result = TemplateScaling::Result;
  const std::string declared = FormatDouble(plan.declared) + "x declared; ";
  const std::string size = std::to_string(plan.width) + "x" + std::to_string(plan.height);
  switch (plan.result) {
    case Result::kNoDeclaration:
      return "none declared; used as cut";
    case Result::kDpiUnknown:
      return declared + "window dpi unknown; used as cut (" + size + ")";
    case Result::kSameScale:
      return declared + "window " + std::to_string(plan.windowDpi) + " dpi; used as cut (" + size +
             ")";
    default:
      return declared + "window " + std::to_string(plan.windowDpi) + " dpi (" +
             FormatDouble(plan.WindowScale()) + "x); " + size + " after scaling";
  }
}

int CheckTemplate(const SpecCommand& add, std::ostream& out, std::ostream& err) {
  TemplateInfo info;
  info.name = ToUtf8(add.name);
  info.path = ResolveTemplatePath(add.path, ExecutableDirectory());
  const DecoderPath narrow = NarrowPathForDecoder(info.path);
  info.image = narrow.exact ? LoadTemplateImage(info.path) : cv::Mat();
  if (info.image.empty()) {
    err << "tavrik-ctl: add --check: the worker could not load " << Shown(info.path)
        << " (missing, not a regular file, too large, or not an image format it reads)\n";
    return kExitFailure;
  }
  if (!PrepareTemplate(info, add.threshold)) {
    err << "tavrik-ctl: add --check: " << Shown(info.path) << " is too large to prepare\n";
    return kExitFailure;
  }
  // Only a declared scale needs the window: its DPI sets the size (the lookup raises the window,
  // as the add would).
  std::optional<std::int32_t> windowDpi;
  if (DeclaredScale(info.path) && !add.processName.empty()) {
    WindowOrigin origin;
    std::int32_t dpi = kDefaultDpi;
    if (LocateTargetWindow(NormalizeImageName(add.processName), origin, &dpi)) windowDpi = dpi;
  }
  const cv::Size cut = info.image.size();
  const IntRect region = StoredRoi({add.roiX, add.roiY, add.roiWidth, add.roiHeight});
  TemplateScaling plan;
  if (std::string error;
      !ScaleAsTheWorkerWould(info, add.threshold, windowDpi, region, plan, error)) {
    err << "tavrik-ctl: add --check: " << error << '\n';
    return kExitFailure;
  }
  out << "template=" << Shown(info.path) << '\n'
      << "size=" << cut.width << "x" << cut.height << '\n';
  if (plan.result != TemplateScaling::Result::kNoDeclaration) {
    out << "scale=" << ScaleFigure(plan) << '\n';
  }
  out << "kind=" << (info.kindKey.empty() ? "(none)" : info.kindKey)
      << (info.knownKind ? "" : " (general)") << '\n'
      << "threshold=" << FormatDouble(info.threshold);
  if (static_cast<double>(add.threshold) != info.threshold) {
    out << " (asked " << FormatDouble(add.threshold) << ")";
  }
  out << '\n';
  if (info.edgeMask.empty()) {
    out << "mask=none (the whole template is compared)\n";
  } else {
    const int on = cv::countNonZero(info.edgeMask);
    out << "mask=" << on << " of " << info.edgeMask.total() << " pixels ("
        << FormatDouble(100.0 * on / static_cast<double>(info.edgeMask.total())) << "%)\n";
  }
  out << "hue=" << FormatDouble(info.hueSat.hue) << " sat=" << FormatDouble(info.hueSat.sat) << '\n'
      << "lab=" << FormatDouble(info.lab.l) << "," << FormatDouble(info.lab.a) << ","
      << FormatDouble(info.lab.b) << '\n';
  return kExitOk;
}

}  // namespace tavrik::ctl
