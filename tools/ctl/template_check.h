// The declared display scale of a template file ("name@2x.png") as tavrik-ctl shows it: add
// --check and probe make of the file what the worker makes of it at add. Full builds only (the
// IPC-only build has no detection code); any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "commands/template_scale.h"
#include "registry/template_info.h"

namespace tavrik::ctl {

// A template file that declares the scale it was cut at ("name@2x.png"), made what the worker
// makes of it for a window of `windowDpi` (nothing when unknown) and a region `region`: `info`
// (loaded and prepared) is resized and prepared again with `threshold`. `plan` tells what was
// done. False with a one-line `error` when the worker would refuse the template.
bool ScaleAsTheWorkerWould(TemplateInfo& info, float threshold,
                           std::optional<std::int32_t> windowDpi, std::optional<IntRect> region,
                           TemplateScaling& plan, std::string& error);

// The plan in one line for the user: "1x declared; window 144 dpi (1.5x); 132x96 after scaling".
std::string ScaleFigure(const TemplateScaling& plan);

}  // namespace tavrik::ctl
