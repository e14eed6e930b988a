// The three spec commands: add (prepare and publish a template), remove (by exact name) and clear.
//
// They report only through diagnostic lines handed to the LogSink. The add handler does all slow
// work (path resolution, file decoding, image preparation, colour statistics, the target-window
// lookup with its 50 ms pause) before it takes the registry mutex; only the existence test, the
// "overwriting" line and the store happen under it. A template that cannot be loaded (missing,
// unreadable, not a regular file, too large, undecodable, a path with no narrow form) leaves the
// registry untouched, so a previous registration of the same name keeps running. A window lookup
// that could not reach a display at all says so in a line ("[Spec] Window lookup for '<process>'
// found no display"); the template is registered all the same, as for a window not found.
//
// A region wider or taller than the screen is refused before anything is loaded ("[Spec] Refused
// template '<name>': region <w>x<h> is larger than the screen <W>x<H>"), and the registry is left
// untouched: such a region can show no more than the screen, and evaluating it would cost memory
// for pixels that are black by definition. When no display can be reached the template is
// registered unchecked (TemplateInfo::regionUnchecked), and the DetectionLoop holds it against
// the screen, with the same line, as soon as it knows the screen's size.
//
// Once the window's origin is known and the template prepared, its capture rectangle is held
// against the budget for captured pixels (detect/pixel_budget.h): a new rectangle that would take
// the remembered pixels of all watched rectangles past kPixelBudgetBytes is refused ("[Spec]
// Refused template '<name>': its region <w>x<h> needs <N> MiB of captured pixels; <U> MiB of the
// <B> MiB pixel budget are in use") and the registry is left untouched. A rectangle that is
// already watched costs nothing; the rectangle of the registration being replaced counts as free
// unless another template watches it too.
//
// A template file named "<name>@<factor>x.<ext>" declares the display scale it was cut at; once
// the window's DPI is known it is resized to the window's scale before it is prepared
// (commands/template_scale.h), or refused when it would outgrow its region.
//
// Threads: the CommandThread only; commands never overlap.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/log_sink.h"
#include "capture/target_window.h"
#include "ipc/command_ring.h"
#include "registry/template_registry.h"

namespace tavrik {

using WindowLocator = std::function<WindowLookup(std::u16string_view normalizedName,
                                                 WindowOrigin& origin, std::int32_t* dpi)>;

// The screen's bounds now, or nothing when no display can be reached (ScreenBounds).
using ScreenBoundsQuery = std::function<std::optional<IntRect>()>;

struct SpecContext {
  TemplateRegistry& registry;
  const LogSink& log;
  std::filesystem::path exeDirectory;        // anchor of relative template paths
  WindowLocator locateWindow;                // LookUpTargetWindow in the worker; none finds nothing
  ScreenBoundsQuery screenBounds = nullptr;  // ScreenBounds in the worker; none refuses nothing
};

void AddSpecHandler(const SpecContext& context, const SpecCommand& command);
void RemoveSpecHandler(const SpecContext& context, std::u16string_view name);
void ClearSpecsHandler(const SpecContext& context);

// The failure-line form of a path: between double quotes, each '"' and '\' escaped by a '\'.
std::string QuotePath(std::string_view narrow);

}  // namespace tavrik
