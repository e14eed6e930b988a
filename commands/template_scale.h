// Templates cut at another display scale. A template file whose name ends in "@<factor>x" before
// its extension ("badge@2x.png", "badge@1.5x.png") declares that its pixels were cut on a display
// of factor x 96 DPI; the factor runs from 0.5 to 4 with at most two decimals. When the add
// command knows the target window's DPI and it differs from the declared one by more than 1 %, the
// decoded template is resized by windowDpi / (factor x 96) before it is prepared, so that the
// grey copy, the edge mask and the colour means all describe the picture as the window draws it.
// Shrinking uses area interpolation, growing bicubic.
//
// Anything else in the name (no suffix, a factor out of range, three decimals, "@2X", "@x") is
// not a declaration at all: such a file is used exactly as it was cut, with no line. Nothing in
// the protocol changes: positions stay in screen pixels and the stored scale stays 1.
//
// A template resized past its region or past the template pixel bound is refused, leaving the
// registry untouched, as other refusals do.
//
// Pure functions apart from ApplyDeclaredScale's lines; safe from any thread. The add command
// calls ApplyDeclaredScale on the CommandThread; tavrik-ctl calls the planning functions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "base/log_sink.h"
#include "registry/template_info.h"

namespace tavrik {

inline constexpr double kMinDeclaredScale = 0.5;
inline constexpr double kMaxDeclaredScale = 4.0;

// The factor declared by the file name's "@<factor>x" suffix, or nothing when the name carries
// no valid declaration.
std::optional<double> DeclaredScale(const std::filesystem::path& file);

// What becomes of a template with a declared scale once the window's DPI is known (or not).
struct TemplateScaling {
  enum class Result {
    kNoDeclaration,     // the file name declares no scale: used as cut
    kDpiUnknown,        // declared, but the window (or its DPI) was not found: used as cut
    kSameScale,         // declared, and the window's DPI is within 1 % of it: used as cut
    kScaled,            // resized to `size`
    kOverPixelBound,    // resizing would exceed the template pixel bound: refused
    kLargerThanRegion,  // resizing would make it larger than its region: refused
  };
  Result result = Result::kNoDeclaration;
  double declared = 0.0;       // the file's factor; 0 without a declaration
  std::int32_t windowDpi = 0;  // 0 when unknown
  double ratio = 1.0;          // windowDpi / (declared x 96), when known
  int width = 0;               // the template's size once planned (resized or as cut)
  int height = 0;

  bool Refused() const {
    return result == Result::kOverPixelBound || result == Result::kLargerThanRegion;
  }
  // windowDpi / 96, the scale the window is drawn at.
  double WindowScale() const { return windowDpi / static_cast<double>(kDefaultDpi); }
};

// Plans the resizing of a `width` x `height` template loaded from `file` for a window of
// `windowDpi` (nothing, or 0 or less, when unknown), checked against `region` when one is given.
TemplateScaling PlanTemplateScaling(const std::filesystem::path& file, int width, int height,
                                    std::optional<std::int32_t> windowDpi,
                                    std::optional<IntRect> region);

// The template's image resized as planned: area interpolation to shrink, bicubic to grow. Empty
// when the resizing fails (an OpenCV error or an allocation failure).
cv::Mat ResizeTemplateImage(const cv::Mat& image, const TemplateScaling& plan);

// "2x to 1.5x (window 144 dpi)": the plan in the words of the lines and of tavrik-ctl.
std::string ScalingText(const TemplateScaling& plan);

// Why a refused plan was refused: "scaled from 2x to 3x (window 288 dpi) it would be 216x144,
// larger than the region 100x60".
std::string RefusalText(const TemplateScaling& plan, std::optional<IntRect> region);

// The add command's step: replaces `info.image` (path set, not yet prepared) by its resized form
// when its file declares a scale that differs from the window's, and emits one line: the scaling,
// the refusal, or, for a declaration whose window DPI is unknown, that it is used as cut. False
// when the template is refused; the caller then registers nothing.
bool ApplyDeclaredScale(const LogSink& log, TemplateInfo& info,
                        std::optional<std::int32_t> windowDpi, const IntRect& region);

}  // namespace tavrik
