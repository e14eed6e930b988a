#include "commands/spec_commands.h"

#include <algorithm>
#include <memory>
#include <new>
#include <thread>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "base/numeric.h"
#include "base/utf.h"
#include "capture/image_name.h"
#include "commands/template_loader.h"
#include "commands/template_path.h"
#include "commands/template_scale.h"
#include "detect/evaluation_pool.h"
#include "detect/match_budget.h"
#include "detect/pixel_budget.h"
#include "detect/region_fit.h"
#include "detect/template_prepare.h"

namespace tavrik {
namespace {

void EmitLoadFailure(const LogSink& log, const std::string& name, const DecoderPath& path) {
  log.Emit((LineText() << "[Spec] Failed to load template '" << name << "' from "
                       << QuotePath(path.narrow))
               .str(),
           LogSeverity::kWarning);
}

}  // namespace

std::string QuotePath(std::string_view narrow) {
  std::string out;
  out.reserve(narrow.size() + 2);
  out.push_back('"');
  for (const char c : narrow) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void AddSpecHandler(const SpecContext& context, const SpecCommand& command) {
  const LogSink& log = context.log;

  const std::string name = ToUtf8(command.name);
  if (name.empty()) {
    log.Emit("[Spec] Ignored add request with empty name.", LogSeverity::kWarning);
    return;
  }

  const float shownThreshold = command.threshold > 0.0f ? command.threshold : 0.9f;
  log.Emit((LineText() << "[Spec] Add requested name=" << name << " path=" << ToUtf8(command.path)
                       << " roi=(" << command.roiX << "," << command.roiY << "," << command.roiWidth
                       << "x" << command.roiHeight << ")"
                       << " threshold=" << shownThreshold << " cooldownMs=" << command.cooldownMs
                       << " baselineMargin=" << command.baselineMargin)
               .str());

  const std::int32_t width = std::max<std::int32_t>(1, command.roiWidth);
  const std::int32_t height = std::max<std::int32_t>(1, command.roiHeight);
  bool regionUnchecked = false;
  if (context.screenBounds) {
    if (const std::optional<IntRect> screen = context.screenBounds(); !screen) {
      regionUnchecked = true;
    } else if (std::string refusal = RegionFitRefusal(name, width, height, *screen);
               !refusal.empty()) {
      log.Emit(refusal, LogSeverity::kWarning);
      return;
    }
  }

  std::filesystem::path resolved = ResolveTemplatePath(command.path, context.exeDirectory);
  const DecoderPath narrow = NarrowPathForDecoder(resolved);
  // A path without an exact narrow form cannot name the file to the decoder: a failed load.
  cv::Mat image = narrow.exact ? LoadTemplateImage(resolved) : cv::Mat();
  if (image.empty()) {
    EmitLoadFailure(log, name, narrow);
    return;
  }

  auto info = std::make_shared<TemplateInfo>();
  info->name = name;
  info->path = std::move(resolved);
  info->image = image;  // shares the pixel buffer

  info->processName = NormalizeImageName(command.processName);

  const IntRect roi{command.roiX, command.roiY, width, height};
  info->roi = roi;

  WindowOrigin origin;
  std::int32_t dpi = kDefaultDpi;
  const WindowLookup lookup = context.locateWindow
                                  ? context.locateWindow(info->processName, origin, &dpi)
                                  : WindowLookup::kNotFound;
  if (lookup == WindowLookup::kFound) {
    info->windowOrigin = origin;
    log.Emit((LineText() << "[Spec] Window origin cached for '" << ToUtf8(info->processName)
                         << "' at " << origin)
                 .str());
  } else if (lookup == WindowLookup::kNoDisplay) {
    // Otherwise indistinguishable from a target that is not running.
    log.Emit((LineText() << "[Spec] Window lookup for '" << ToUtf8(info->processName)
                         << "' found no display")
                 .str(),
             LogSeverity::kWarning);
  }
  info->dpi = dpi;

  // The window's DPI decides the size of a template cut at a declared scale; the edge mask and the
  // colour means are then built from the picture as the window draws it.
  if (!ApplyDeclaredScale(
          log, *info, lookup == WindowLookup::kFound ? std::optional(dpi) : std::nullopt, roi)) {
    return;
  }
  // Grey copy, edge mask, threshold rules and colour: the same preparation tools use.
  if (!PrepareTemplate(*info, command.threshold)) {
    EmitLoadFailure(log, name, narrow);
    return;
  }

  info->rawRoi = roi;
  info->regionUnchecked = regionUnchecked;
  info->cooldownMs = command.cooldownMs > 0 ? std::int64_t{command.cooldownMs} : 0;
  info->lastDecisionTime = kNeverDecided;

  // Adds run one at a time on the CommandThread, the only thread that registers: the registry
  // cannot gain a rectangle between this check and the store below (the DetectionLoop only ever
  // takes records out).
  if (std::string refusal =
          PixelBudgetRefusal(*info, WatchedRectangles(context.registry.SnapshotTemplates(), name));
      !refusal.empty()) {
    log.Emit(refusal, LogSeverity::kWarning);
    return;
  }

  // A template the matching could not hold alone is refused; its previous registration keeps
  // running, as with a region larger than the screen.
  if (std::string refusal =
          MatchNeedRefusal(*info, PoolThreadsFor(std::thread::hardware_concurrency()));
      !refusal.empty()) {
    log.Emit(refusal, LogSeverity::kWarning);
    return;
  }

  const std::string overwriting =
      (LineText() << "[Spec] Overwriting existing template '" << name << "'").str();
  context.registry.ReplaceOrInsert(name, info, [&](bool existed) {
    if (existed) log.Emit(overwriting);
  });

  log.Emit((LineText() << "[Spec] Registered '" << info->name << "' ROI=" << info->rawRoi.x << ","
                       << info->rawRoi.y << " " << info->rawRoi.width << "x" << info->rawRoi.height
                       << " threshold=" << info->threshold)
               .str());
}

void RemoveSpecHandler(const SpecContext& context, std::u16string_view name16) {
  const std::string name = ToUtf8(name16);
  if (name.empty()) return;
  const std::string removed = (LineText() << "[Spec] Removed '" << name << "'").str();
  context.registry.Erase(name, [&] { context.log.Emit(removed); });
}

void ClearSpecsHandler(const SpecContext& context) {
  context.registry.Clear([&] { context.log.Emit("[Spec] Cleared all templates"); });
}

}  // namespace tavrik
