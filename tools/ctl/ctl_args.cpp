#include "tools/ctl/ctl_args.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <system_error>

#include "base/utf.h"
#include "ipc/hit_ring.h"
#include "tools/ctl/number_text.h"

namespace tavrik::ctl {
namespace {

constexpr double kMaxTimeoutSeconds = 1'000'000.0;

struct VerbInfo {
  const char* name;
  Verb verb;
};
constexpr VerbInfo kVerbs[] = {
    {"add", Verb::kAdd},         {"remove", Verb::kRemove},
    {"clear", Verb::kClear},     {"heartbeat", Verb::kHeartbeat},
    {"version", Verb::kVersion}, {"watch", Verb::kWatch},
    {"status", Verb::kStatus},   {"help", Verb::kHelp},
};

std::optional<Verb> FindVerb(std::string_view name) {
  for (const auto& info : kVerbs) {
    if (name == info.name) return info.verb;
  }
  return std::nullopt;
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

bool ParseRoi(std::string_view text, AddFields& add) {
  std::int32_t* targets[] = {&add.roiX, &add.roiY, &add.roiWidth, &add.roiHeight};
  std::int32_t values[4] = {};
  if (!ParseFourInt32(text, values)) return false;
  for (int i = 0; i < 4; ++i) *targets[i] = values[i];
  return true;
}

// Which options each verb accepts.
bool Accepts(Verb verb, std::string_view option) {
  if (option == "--help") return true;
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
      return option == "--json";
    case Verb::kHelp:
      return false;
  }
  return false;
}

bool IsFlag(std::string_view option) { return option == "--json" || option == "--help"; }

ParseResult Fail(std::string message) {
  ParseResult result;
  result.error = std::move(message);
  return result;
}

const char kOverview[] =
    R"(tavrik-ctl - send commands to a running Tavrik worker and read what it reports.

Usage: tavrik-ctl COMMAND [OPTIONS]
       tavrik-ctl help [COMMAND]      (or: tavrik-ctl COMMAND --help)

Commands:
  add        register (or replace) a template spec
  remove     unregister a template spec by name
  clear      unregister every template spec
  heartbeat  ask the worker for a heartbeat and print its reply (__hb__:CMD)
  version    ask the worker for its version and print its reply (__ver__:...)
  watch      print hit-ring messages as JSON, one object per line
  status     print the headers of both rings
  probe      evaluate one template against a screenshot or a live window in this process,
             with the worker's own code, and show how the decision came about (no worker
             needed; see tavrik-ctl probe --help for its options and exit codes)

tavrik-ctl never creates the rings: it opens the ones a running worker made. Commands that
publish wait for a free command slot (the ring holds 64) and fail when none frees up in time.
Concurrent tavrik-ctl processes take turns through an advisory lock.

Environment:
  TAVRIK_IPC_NAMESPACE  namespace of the shared-memory objects (POSIX only). When set and not
                        empty, the objects are /<ns>-CmdRingMMF, /<ns>-CmdRingEvent,
                        /<ns>-HitRingMMF and /<ns>-HitRingEvent; otherwise <ns> is
                        tavrik-<uid>. Must match the worker's. On Windows the objects are
                        Local\CmdRingMMF and so on, and the variable is ignored.

Exit codes:
  0  success
  1  other failure (for example a ring that exists but is too small)
  2  usage error (unknown command or option, bad value, text too long for its field)
  3  no worker (the rings do not exist), or a timeout waiting for room in the command ring,
     for the producer lock or for a reply
)";

const char kAddHelp[] =
    R"(Usage: tavrik-ctl add --name NAME --path FILE --roi X,Y,W,H [OPTIONS]

Registers a template spec; a spec with the same name is replaced.

  --name NAME             spec name, at most 32 UTF-16 units (required, not empty). The part
                          before the first ':' picks the kind (t1, t2, t3). Hit messages carry
                          names of at most 30 units; keep names that short to see them whole.
  --path FILE             template image, absolute or relative to the worker's directory; at
                          most 64 UTF-16 units (required)
  --process IMAGE         image name of the target process, e.g. game.exe; at most 16 UTF-16
                          units (default: empty, no target window)
  --roi X,Y,W,H           region of interest relative to the target's client area, four
                          integers (required)
  --threshold T           match threshold; 0 or omitted lets the worker use its default
  --cooldown-ms MS        pause between evaluations of this spec, integer (default 0)
  --baseline-margin M     baseline margin (default 0)
  --spare V               spare value carried in the slot (default 0)
  --timeout SECONDS       how long to wait for a free command slot (default 5)

Texts are taken as UTF-8 and sent as UTF-16; a text that does not fit its field is refused,
never shortened.
)";

const char kRemoveHelp[] =
    R"(Usage: tavrik-ctl remove NAME [--timeout SECONDS]

Unregisters the spec called NAME (exact match, at most 32 UTF-16 units). Removing a name that
is not registered does nothing.
  --timeout SECONDS   how long to wait for a free command slot (default 5)
)";

const char kClearHelp[] =
    R"(Usage: tavrik-ctl clear [--timeout SECONDS]

Unregisters every spec.
  --timeout SECONDS   how long to wait for a free command slot (default 5)
)";

const char kHeartbeatHelp[] =
    R"(Usage: tavrik-ctl heartbeat [--timeout SECONDS]

Sends a heartbeat request and waits for the worker's reply in the hit ring, then prints the
reply's name (__hb__:CMD). Hit-ring messages that arrive before the reply are consumed and not
shown.
  --timeout SECONDS   how long to wait for room and for the reply (default 5); exit code 3
                      when it runs out
)";

const char kVersionHelp[] =
    R"(Usage: tavrik-ctl version [--timeout SECONDS]

Sends a version request and waits for the worker's reply in the hit ring, then prints the
reply's name (__ver__: followed by the version). Hit-ring messages that arrive before the reply
are consumed and not shown.
  --timeout SECONDS   how long to wait for room and for the reply (default 5); exit code 3
                      when it runs out
)";

const char kWatchHelp[] =
    R"(Usage: tavrik-ctl watch [--count N] [--timeout SECONDS]

Consumes hit-ring messages and prints each as one JSON object per line, with the keys
timestampMs, posX, posY, roiWidth, roiHeight, isHit, score, threshold, baseline and name.
Numbers that are not finite are printed as null. Another reader of the hit ring (the user
interface) will not see the messages consumed here.
  --count N           stop after N messages (exit 0)
  --timeout SECONDS   stop after SECONDS; exit 0 without --count, exit 3 when fewer than N
                      messages arrived
Without either option, watch runs until interrupted.
)";

const char kStatusHelp[] =
    R"(Usage: tavrik-ctl status [--json]

Prints the headers of the command ring and the hit ring: writeIndex, readIndex, droppedCount,
headerReserved and the number of pending messages (writeIndex - readIndex). Reads only.
  --json   one JSON object instead of readable lines
)";

}  // namespace

bool ConvertFieldText(std::string_view utf8, std::string_view field, std::size_t maxUnits,
                      std::u16string& out, std::string& error) {
  const std::string fieldName(field);
  if (utf8.find('\0') != std::string_view::npos) {
    error = fieldName + " must not contain a NUL character";
    return false;
  }
  std::u16string wide = Utf8ToUtf16(utf8);
  if (ToUtf8(wide) != utf8) {
    error = fieldName + " is not valid UTF-8";
    return false;
  }
  if (wide.size() > maxUnits) {
    error = fieldName + " is " + std::to_string(wide.size()) + " UTF-16 units long; the limit is " +
            std::to_string(maxUnits);
    return false;
  }
  out = std::move(wide);
  return true;
}

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
  const std::optional<Verb> verb = FindVerb(first);
  if (!verb) return Fail("unknown command '" + first + "' (try: tavrik-ctl --help)");
  request.verb = *verb;

  if (*verb == Verb::kHelp) {
    if (args.size() > 2) return Fail("help takes at most one command name");
    if (args.size() == 2) {
      if (!FindVerb(args[1])) return Fail("no help for unknown command '" + args[1] + "'");
      request.helpTopic = args[1] == "help" ? "" : args[1];
    }
    result.ok = true;
    return result;
  }

  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h") {
      options["--help"] = "";
      continue;
    }
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      positional.push_back(arg);
      continue;
    }
    std::string option = arg;
    std::optional<std::string> value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      option = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (!Accepts(*verb, option)) return Fail(first + ": unknown option " + option);
    if (IsFlag(option)) {
      if (value) return Fail(first + ": " + option + " takes no value");
      value = "";
    } else if (!value) {
      if (i + 1 >= args.size()) return Fail(first + ": " + option + " needs a value");
      value = args[++i];
    }
    if (!options.emplace(option, *value).second) {
      return Fail(first + ": " + option + " given more than once");
    }
  }

  if (options.count("--help") != 0) {
    request.verb = Verb::kHelp;
    request.helpTopic = first;
    result.ok = true;
    return result;
  }

  const auto get = [&options](const char* key) -> const std::string* {
    const auto it = options.find(key);
    return it == options.end() ? nullptr : &it->second;
  };

  if (const std::string* text = get("--timeout")) {
    double seconds = 0.0;
    if (!ParseSeconds(*text, seconds)) {
      return Fail(first + ": --timeout must be a number of seconds from 0 to 1000000, not '" +
                  *text + "'");
    }
    request.timeoutSeconds = seconds;
  }

  std::string error;
  switch (*verb) {
    case Verb::kAdd: {
      if (!positional.empty()) return Fail("add: unexpected argument '" + positional[0] + "'");
      AddFields& add = request.add;
      for (const char* required : {"--name", "--path", "--roi"}) {
        if (get(required) == nullptr) return Fail(std::string("add: ") + required + " is required");
      }
      if (!ConvertFieldText(*get("--name"), "--name", kNameUnits, add.name, error) ||
          !ConvertFieldText(*get("--path"), "--path", kPathUnits, add.path, error)) {
        return Fail("add: " + error);
      }
      if (const std::string* process = get("--process");
          process != nullptr &&
          !ConvertFieldText(*process, "--process", kProcessNameUnits, add.processName, error)) {
        return Fail("add: " + error);
      }
      if (add.name.empty()) return Fail("add: --name must not be empty");
      if (add.path.empty()) return Fail("add: --path must not be empty");
      if (!ParseRoi(*get("--roi"), add)) {
        return Fail("add: --roi must be four integers X,Y,W,H, not '" + *get("--roi") + "'");
      }
      const struct {
        const char* option;
        float* target;
      } floats[] = {{"--threshold", &add.threshold},
                    {"--baseline-margin", &add.baselineMargin},
                    {"--spare", &add.spare}};
      for (const auto& entry : floats) {
        const std::string* text = get(entry.option);
        if (text != nullptr && !ParseFiniteFloat(*text, *entry.target)) {
          return Fail(std::string("add: ") + entry.option + " must be a finite number, not '" +
                      *text + "'");
        }
      }
      if (const std::string* text = get("--cooldown-ms");
          text != nullptr && !ParseInt32(*text, add.cooldownMs)) {
        return Fail("add: --cooldown-ms must be a 32-bit integer, not '" + *text + "'");
      }
      if (add.name.size() > kHitNameMaxUnits) {
        request.warnings.push_back(
            "--name is longer than 30 UTF-16 units, the most a hit message carries; this "
            "spec's hit messages will not show its whole name");
      }
      break;
    }
    case Verb::kRemove:
      if (positional.size() != 1) return Fail("remove: exactly one NAME is required");
      if (!ConvertFieldText(positional[0], "NAME", kNameUnits, request.add.name, error)) {
        return Fail("remove: " + error);
      }
      if (request.add.name.empty()) return Fail("remove: NAME must not be empty");
      break;
    case Verb::kWatch:
      if (!positional.empty()) return Fail("watch: unexpected argument '" + positional[0] + "'");
      if (const std::string* text = get("--count")) {
        std::uint64_t count = 0;
        if (!ParseCount(*text, count)) {
          return Fail("watch: --count must be a positive integer, not '" + *text + "'");
        }
        request.count = count;
      }
      break;
    case Verb::kStatus:
      if (!positional.empty()) return Fail("status: unexpected argument '" + positional[0] + "'");
      request.json = get("--json") != nullptr;
      break;
    case Verb::kClear:
    case Verb::kHeartbeat:
    case Verb::kVersion:
      if (!positional.empty()) {
        return Fail(first + ": unexpected argument '" + positional[0] + "'");
      }
      break;
    case Verb::kHelp:
      break;
  }
  result.ok = true;
  return result;
}

std::string HelpText(std::string_view topic) {
  if (topic.empty()) return kOverview;
  const std::optional<Verb> verb = FindVerb(topic);
  if (!verb) return {};
  switch (*verb) {
    case Verb::kAdd:
      return kAddHelp;
    case Verb::kRemove:
      return kRemoveHelp;
    case Verb::kClear:
      return kClearHelp;
    case Verb::kHeartbeat:
      return kHeartbeatHelp;
    case Verb::kVersion:
      return kVersionHelp;
    case Verb::kWatch:
      return kWatchHelp;
    case Verb::kStatus:
      return kStatusHelp;
    case Verb::kHelp:
      return kOverview;
  }
  return {};
}

CommandSlot BuildCommandSlot(const CtlRequest& request) {
  CommandSlot slot;
  std::memset(&slot, 0, sizeof slot);
  const AddFields& add = request.add;
  const auto copyText = [](const std::u16string& text, char16_t* field, std::size_t units) {
    std::memcpy(field, text.data(), std::min(text.size(), units) * sizeof(char16_t));
  };
  switch (request.verb) {
    case Verb::kAdd:
      slot.commandType = kAddSpec;
      slot.cooldownMs = add.cooldownMs;
      slot.baselineMargin = add.baselineMargin;
      copyText(add.processName, slot.processName, kProcessNameUnits);
      copyText(add.name, slot.name, kNameUnits);
      copyText(add.path, slot.path, kPathUnits);
      slot.roiX = add.roiX;
      slot.roiY = add.roiY;
      slot.roiWidth = add.roiWidth;
      slot.roiHeight = add.roiHeight;
      slot.threshold = add.threshold;
      slot.spare = add.spare;
      break;
    case Verb::kRemove:
      slot.commandType = kRemoveSpec;
      copyText(add.name, slot.name, kNameUnits);
      break;
    case Verb::kClear:
      slot.commandType = kClearSpecs;
      break;
    case Verb::kHeartbeat:
      slot.commandType = kHeartbeat;
      break;
    case Verb::kVersion:
      slot.commandType = kVersion;
      break;
    default:
      break;
  }
  return slot;
}

}  // namespace tavrik::ctl
