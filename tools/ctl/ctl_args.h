// Command-line parsing and help text of tavrik-ctl, kept free of I/O so that tests can drive it.
//
// Every text destined for a command slot is checked here against its fixed field width, so a
// value that would not arrive whole is refused before anything touches the ring.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/ring_layout.h"

namespace tavrik::ctl {

// Process exit codes (documented in the help text).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoWorker = 3;  // rings missing, or a timeout waiting for room/reply

enum class Verb { kHelp, kAdd, kRemove, kClear, kHeartbeat, kVersion, kWatch, kStatus };

struct AddFields {
  std::u16string processName;
  std::u16string name;
  std::u16string path;
  std::int32_t roiX = 0;
  std::int32_t roiY = 0;
  std::int32_t roiWidth = 0;
  std::int32_t roiHeight = 0;
  float threshold = 0.0f;  // 0 lets the worker pick its default
  std::int32_t cooldownMs = 0;
  float baselineMargin = 0.0f;
  float spare = 0.0f;
};

inline constexpr double kDefaultTimeoutSeconds = 5.0;

struct CtlRequest {
  Verb verb = Verb::kHelp;
  std::string helpTopic;  // kHelp: a verb name, or empty for the overview
  AddFields add;          // kAdd; kRemove uses add.name
  // How long to wait for room in the command ring, for a reply, or (watch) for messages.
  // Watch without --timeout runs until --count is reached.
  std::optional<double> timeoutSeconds;
  std::optional<std::uint64_t> count;  // watch
  bool json = false;                   // status
  std::vector<std::string> warnings;   // accepted, but worth telling the user
};

struct ParseResult {
  bool ok = false;
  CtlRequest request;
  std::string error;  // when !ok: one line, without the program name
};

// Parses the arguments after the program name.
ParseResult ParseCtlArgs(const std::vector<std::string>& args);

// The help text: the overview for an empty topic, otherwise that verb's page. Empty for an
// unknown topic.
std::string HelpText(std::string_view topic);

// Fills a command slot for a publishing verb (add, remove, clear, heartbeat, version). Bytes
// the command does not use are zero.
CommandSlot BuildCommandSlot(const CtlRequest& request);

// Converts a command-line text for a slot field: refused (with a message naming `field` and
// `maxUnits`) when it is not valid UTF-8, holds a NUL, or needs more than `maxUnits` UTF-16 units.
bool ConvertFieldText(std::string_view utf8, std::string_view field, std::size_t maxUnits,
                      std::u16string& out, std::string& error);

}  // namespace tavrik::ctl
