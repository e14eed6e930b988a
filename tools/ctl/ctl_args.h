// Command-line parsing of tavrik-ctl, kept free of I/O so that tests can drive it.
//
// Every text destined for a command slot is checked here against its fixed field width, so a
// value that would not arrive whole is refused before anything touches the ring. A parsed request
// carries the SpecCommand it will publish; EncodeCommandSlot turns it into the slot.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ipc/command_codec.h"

namespace tavrik::ctl {

// Process exit codes (documented in the help text).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoWorker = 3;  // rings missing, or a timeout waiting for room/reply

enum class Verb {
  kHelp,
  kOwnVersion,  // tavrik-ctl --version
  kAdd,
  kRemove,
  kClear,
  kHeartbeat,
  kVersion,  // the worker's version, through the rings
  kWatch,
  kStatus,
};

inline constexpr double kDefaultTimeoutSeconds = 5.0;

struct CtlRequest {
  Verb verb = Verb::kHelp;
  std::string helpTopic;  // kHelp: a verb name, or empty for the overview
  // The command a publishing verb sends (add, remove, clear, heartbeat, version); commandType is
  // set by the verb. A threshold of 0 lets the worker pick its default.
  SpecCommand command;
  // How long to wait for room in the command ring, for a reply, or (watch) for messages.
  // Watch without --timeout runs until --count is reached.
  std::optional<double> timeoutSeconds;
  std::optional<std::uint64_t> count;  // watch
  bool json = false;                   // status
  bool check = false;                  // add --check: prepare the template here, publish nothing
  bool drain = false;                  // heartbeat, version --drain: consume what is pending first
  std::vector<std::string> warnings;   // accepted, but worth telling the user
};

struct ParseResult {
  bool ok = false;
  CtlRequest request;
  std::string error;  // when !ok: one line, without the program name
};

// Parses the arguments after the program name.
ParseResult ParseCtlArgs(const std::vector<std::string>& args);

}  // namespace tavrik::ctl
