// Command-line options of tavrik-ctl and its probe: the one option loop both use, and the strict
// value parsers. The whole text must be the value (an optional leading '+' allowed for numbers),
// with no blanks, suffixes or out-of-range values.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/geometry.h"

namespace tavrik::ctl {

enum class OptionKind {
  kUnknown,
  kFlag,   // takes no value: --json
  kValue,  // takes one value: --name NAME or --name=NAME
};

struct ParsedOptions {
  std::map<std::string, std::string> values;  // flags map to ""
  std::vector<std::string> positional;
  bool help = false;  // --help or -h

  const std::string* Get(const std::string& option) const {
    const auto it = values.find(option);
    return it == values.end() ? nullptr : &it->second;
  }
  bool Has(const std::string& option) const { return values.count(option) != 0; }
};

// Reads args[first...]: options of the kinds `kindOf` names, each at most once, and positional
// arguments (texts not starting with '-', a lone "-", and everything after "--"). "-h" and
// "--help" set `help`; any other text starting with '-' is an option, and short ones other than
// -h are unknown. Returns an error text without any prefix: "unknown option -x", "--x takes no
// value", "--x needs a value", "--x given more than once".
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, std::size_t first,
                                        const std::function<OptionKind(std::string_view)>& kindOf,
                                        ParsedOptions& out);

bool ParseInt32(std::string_view text, std::int32_t& out);
// A finite float; NaN and infinities are refused.
bool ParseFiniteFloat(std::string_view text, float& out);
// Four comma-separated int32 values "X,Y,W,H" (no range check on the sizes).
bool ParseRoi(std::string_view text, IntRect& out);
// The warnings for a ROI the worker will change: a width or height below 1 is raised to 1.
std::vector<std::string> RoiWarnings(const IntRect& roi);
// The ROI as the worker stores it: width and height raised to at least 1.
IntRect StoredRoi(const IntRect& roi);

}  // namespace tavrik::ctl
