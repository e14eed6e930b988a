#include "tools/ctl/ctl_args.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "base/line_escape.h"
#include "ipc/hit_ring.h"
#include "tools/ctl/options.h"

namespace tavrik::ctl {
namespace {

constexpr double kMaxTimeoutSeconds = 1'000'000.0;

struct VerbInfo {
  const char* name;
  Verb verb;
  std::int32_t commandType;  // 0 for verbs that publish nothing
};
constexpr VerbInfo kVerbs[] = {
    {"add", Verb::kAdd, kAddSpec},         {"remove", Verb::kRemove, kRemoveSpec},
    {"clear", Verb::kClear, kClearSpecs},  {"heartbeat", Verb::kHeartbeat, kHeartbeat},
    {"version", Verb::kVersion, kVersion}, {"watch", Verb::kWatch, 0},
    {"status", Verb::kStatus, 0},          {"help", Verb::kHelp, 0},
};

const VerbInfo* FindVerb(std::string_view name) {
  for (const auto& info : kVerbs) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

bool ParseSeconds(std::string_view text, double& out) {
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value) || value < 0.0 || value > kMaxTimeoutSeconds) {
    return false;
  }
  out = value;
  return true;
}

bool ParseCount(std::string_view text, std::uint64_t& out) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0) {
    return false;
  }
  out = value;
  return true;
}

// Which options each verb accepts, and whether they take a value.
OptionKind KindFor(Verb verb, std::string_view option) {
  const bool value = [&] {
    switch (verb) {
      case Verb::kAdd:
        return option == "--name" || option == "--path" || option == "--process" ||
               option == "--roi" || option == "--threshold" || option == "--cooldown-ms" ||
               option == "--baseline-margin" || option == "--spare" || option == "--timeout";
      case Verb::kRemove:
      case Verb::kClear:
      case Verb::kHeartbeat:
      case Verb::kVersion:
        return option == "--timeout";
      case Verb::kWatch:
        return option == "--count" || option == "--timeout";
      case Verb::kStatus:
      case Verb::kHelp:
      case Verb::kOwnVersion:
        return false;
    }
    return false;
  }();
  if (value) return OptionKind::kValue;
  const bool flag = (verb == Verb::kStatus && option == "--json") ||
                    (verb == Verb::kAdd && option == "--check") ||
                    ((verb == Verb::kHeartbeat || verb == Verb::kVersion) && option == "--drain");
  return flag ? OptionKind::kFlag : OptionKind::kUnknown;
}

// The message echoes arguments, which may hold anything: it is escaped so that it stays one line.
ParseResult Fail(const std::string& message) {
  ParseResult result;
  result.error = LineSafe(message);
  return result;
}

// add: the fields of the command, each checked against its slot field.
std::optional<std::string> ParseAdd(const ParsedOptions& options, CtlRequest& request) {
  SpecCommand& add = request.command;
  for (const char* required : {"--name", "--path", "--roi"}) {
    if (!options.Has(required)) return std::string(required) + " is required";
  }
  std::string error;
  if (!ConvertFieldText(*options.Get("--name"), "--name", kNameUnits, add.name, error) ||
      !ConvertFieldText(*options.Get("--path"), "--path", kPathUnits, add.path, error)) {
    return error;
  }
  if (const std::string* process = options.Get("--process");
      process != nullptr &&
      !ConvertFieldText(*process, "--process", kProcessNameUnits, add.processName, error)) {
    return error;
  }
  if (add.name.empty()) return "--name must not be empty";
  if (add.path.empty()) return "--path must not be empty";
  IntRect roi;
  if (!ParseRoi(*options.Get("--roi"), roi)) {
    return "--roi must be four integers X,Y,W,H, not '" + *options.Get("--roi") + "'";
  }
  add.roiX = roi.x;
  add.roiY = roi.y;
  add.roiWidth = roi.width;
  add.roiHeight = roi.height;
  for (std::string& warning : RoiWarnings(roi)) request.warnings.push_back(std::move(warning));
  const struct {
    const char* option;
    float* target;
  } floats[] = {{"--threshold", &add.threshold},
                {"--baseline-margin", &add.baselineMargin},
                {"--spare", &add.spare}};
  for (const auto& entry : floats) {
    const std::string* text = options.Get(entry.option);
    if (text != nullptr && !ParseFiniteFloat(*text, *entry.target)) {
      return std::string(entry.option) + " must be a finite number, not '" + *text + "'";
    }
  }
  if (const std::string* text = options.Get("--cooldown-ms");
      text != nullptr && !ParseInt32(*text, add.cooldownMs)) {
    return "--cooldown-ms must be a 32-bit integer, not '" + *text + "'";
  }
  if (add.name.size() > kHitNameMaxUnits) {
    request.warnings.push_back(
        "--name is longer than 30 UTF-16 units, the most a hit message carries; this "
        "spec's hit messages will not show its whole name");
  }
  return std::nullopt;
}

}  // namespace

ParseResult ParseCtlArgs(const std::vector<std::string>& args) {
  ParseResult result;
  CtlRequest& request = result.request;
  if (args.empty()) return Fail("no command given (try: tavrik-ctl --help)");

  const std::string& first = args.front();
  if (first == "--help" || first == "-h") {
    request.verb = Verb::kHelp;
    if (args.size() > 1) return Fail("--help takes no arguments; use: tavrik-ctl help COMMAND");
    result.ok = true;
    return result;
  }
  if (first == "--version") {
    request.verb = Verb::kOwnVersion;
    if (args.size() > 1) return Fail("--version takes no arguments");
    result.ok = true;
    return result;
  }
  const VerbInfo* verb = FindVerb(first);
  if (verb == nullptr && !first.empty() && first.front() == '-') {
    return Fail("unknown option " + first + " (try: tavrik-ctl --help)");
  }
  if (verb == nullptr) return Fail("unknown command '" + first + "' (try: tavrik-ctl --help)");
  request.verb = verb->verb;
  request.command.commandType = verb->commandType;

  if (verb->verb == Verb::kHelp) {
    if (args.size() > 2) return Fail("help takes at most one command name");
    if (args.size() == 2) {
      if (FindVerb(args[1]) == nullptr) {
        return Fail("no help for unknown command '" + args[1] + "'");
      }
      request.helpTopic = args[1] == "help" ? "" : args[1];
    }
    result.ok = true;
    return result;
  }

  ParsedOptions options;
  if (const auto error = ParseOptions(
          args, 1, [&](std::string_view option) { return KindFor(verb->verb, option); }, options)) {
    return Fail(first + ": " + *error);
  }
  if (options.help) {
    request.verb = Verb::kHelp;
    request.helpTopic = first;
    result.ok = true;
    return result;
  }

  if (const std::string* text = options.Get("--timeout")) {
    double seconds = 0.0;
    if (!ParseSeconds(*text, seconds)) {
      return Fail(first + ": --timeout must be a number of seconds from 0 to 1000000, not '" +
                  *text + "'");
    }
    request.timeoutSeconds = seconds;
  }

  const auto unexpected = [&]() -> std::optional<std::string> {
    if (options.positional.empty()) return std::nullopt;
    return "unexpected argument '" + options.positional[0] + "'";
  };
  std::optional<std::string> error;
  switch (verb->verb) {
    case Verb::kAdd:
      error = unexpected();
      if (!error) error = ParseAdd(options, request);
      request.check = options.Has("--check");
      break;
    case Verb::kRemove: {
      if (options.positional.size() != 1) {
        error = "exactly one NAME is required";
        break;
      }
      std::string text;
      if (!ConvertFieldText(options.positional[0], "NAME", kNameUnits, request.command.name,
                            text)) {
        error = text;
      } else if (request.command.name.empty()) {
        error = "NAME must not be empty";
      }
      break;
    }
    case Verb::kWatch:
      error = unexpected();
      if (const std::string* text = options.Get("--count"); !error && text != nullptr) {
        std::uint64_t count = 0;
        if (!ParseCount(*text, count)) {
          error = "--count must be a positive integer, not '" + *text + "'";
        } else {
          request.count = count;
        }
      }
      break;
    case Verb::kStatus:
      error = unexpected();
      request.json = options.Has("--json");
      break;
    case Verb::kHeartbeat:
    case Verb::kVersion:
      request.drain = options.Has("--drain");
      error = unexpected();
      break;
    case Verb::kClear:
      error = unexpected();
      break;
    case Verb::kHelp:
    case Verb::kOwnVersion:
      break;
  }
  if (error) return Fail(first + ": " + *error);
  result.ok = true;
  return result;
}

}  // namespace tavrik::ctl
