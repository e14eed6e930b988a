// The help pages of tavrik-ctl: the overview, one page per command and the probe's page.
// Pure; safe from any thread.
#pragma once

#include <string_view>

namespace tavrik::ctl {

// The overview for an empty topic (or "help"), otherwise that command's page ("probe" included).
// Empty for an unknown topic.
std::string_view HelpText(std::string_view topic);

}  // namespace tavrik::ctl
