#include "tools/ctl/options.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tavrik::ctl {

std::optional<std::string> ParseOptions(const std::vector<std::string>& args, std::size_t first,
                                        const std::function<OptionKind(std::string_view)>& kindOf,
                                        ParsedOptions& out) {
  bool optionsEnded = false;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg.front() != '-') {
      out.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {  // everything after it is positional, even "-x"
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      out.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) return "unknown option " + arg;  // short options: only -h
    std::string option = arg;
    std::optional<std::string> value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      option = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const OptionKind kind = option == "--help" ? OptionKind::kFlag : kindOf(option);
    if (kind == OptionKind::kUnknown) return "unknown option " + option;
    if (kind == OptionKind::kFlag) {
      if (value) return option + " takes no value";
      value = "";
    } else if (!value) {
      if (i + 1 >= args.size()) return option + " needs a value";
      value = args[++i];
    }
    if (option == "--help") {
      out.help = true;
      continue;
    }
    if (!out.values.emplace(option, *value).second) return option + " given more than once";
  }
  return std::nullopt;
}

bool ParseInt32(std::string_view text, std::int32_t& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

bool ParseFiniteFloat(std::string_view text, float& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  float value = 0.0f;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return false;
  }
  out = value;
  return true;
}

bool ParseRoi(std::string_view text, IntRect& out) {
  std::int32_t values[4] = {};
  for (int i = 0; i < 4; ++i) {
    const std::size_t comma = text.find(',');
    const bool last = i == 3;
    if (last != (comma == std::string_view::npos)) return false;
    if (!ParseInt32(last ? text : text.substr(0, comma), values[i])) return false;
    if (!last) text.remove_prefix(comma + 1);
  }
  out = {values[0], values[1], values[2], values[3]};
  return true;
}

std::vector<std::string> RoiWarnings(const IntRect& roi) {
  std::vector<std::string> warnings;
  if (roi.width < 1) {
    warnings.push_back("--roi width " + std::to_string(roi.width) +
                       " is below 1; the worker raises it to 1");
  }
  if (roi.height < 1) {
    warnings.push_back("--roi height " + std::to_string(roi.height) +
                       " is below 1; the worker raises it to 1");
  }
  return warnings;
}

IntRect StoredRoi(const IntRect& roi) {
  return {roi.x, roi.y, roi.width < 1 ? 1 : roi.width, roi.height < 1 ? 1 : roi.height};
}

}  // namespace tavrik::ctl
