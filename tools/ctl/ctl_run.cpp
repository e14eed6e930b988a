#include "tools/ctl/ctl_run.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "base/line_escape.h"
#include "base/display_session.h"
#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "ipc/shared_memory.h"
#include "ipc/worker_lock.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_help.h"
#include "tools/ctl/hit_json.h"
#include "tools/ctl/probe.h"

namespace tavrik::ctl {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::chrono::steady_clock::time_point DeadlineAfter(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

milliseconds Remaining(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return milliseconds(0);
  // Round up so that a wait never ends just short of the deadline and spins.
  return std::chrono::ceil<milliseconds>(left);
}

RingHeader ReadHeader(RingHeader& header) {
  RingHeader copy{};
  copy.writeIndex = LoadIndex(header.writeIndex);
  copy.readIndex = LoadIndex(header.readIndex);
  copy.droppedCount = LoadIndex(header.droppedCount);
  copy.headerReserved = LoadIndex(header.headerReserved);
  return copy;
}

std::string ObjectDescription(const char* object) {
  return std::string(object) + " in namespace '" + CurrentIpcNamespace() + "'";
}

constexpr char kStartHint[] =
    "start one with tavrik-worker, or with systemctl --user start tavrik-worker where it is "
    "installed as a user service";

std::string SystemErrorText(int code) {
  return code == 0 ? std::string() : " (" + std::system_category().message(code) + ")";
}

// Opens a ring of the running worker. Returns an exit code other than kExitOk, with the message
// written, when it is missing or unusable.
int OpenRing(const char* mappingName, std::size_t bytes, const char* what, SharedMapping& out,
             std::ostream& err) {
  out = SharedMapping::Open(mappingName, bytes, OpenMode::kOpenExisting);
  if (out.View() != nullptr) return kExitOk;
  const OpenStatus& status = out.Status();
  const std::string object =
      "the " + std::string(what) + " (" + ObjectDescription(mappingName) + ")";
  switch (status.error) {
    case OpenError::kNotFound:
      // Asked once the worker lock said that a worker runs (status asks either way).
      err << "tavrik-ctl: " << object
          << " does not exist, although a worker holds the lock (it was removed under the "
             "worker); restart the worker to make it again\n";
      return kExitFailure;
    case OpenError::kNotOwned:
      err << "tavrik-ctl: no worker of ours: " << object << " belongs to another user\n";
      return kExitNoWorker;
    case OpenError::kTooSmall:
      err << "tavrik-ctl: " << object << " exists but is smaller than " << bytes
          << " bytes; it was not made by a Tavrik worker\n";
      return kExitFailure;
    default:
      err << "tavrik-ctl: cannot open " << object << ": " << DescribeOpenError(status.error)
          << SystemErrorText(status.systemError) << "\n";
      return kExitFailure;
  }
}

// Ring objects outlive a dead worker; only its lock says whether anyone will take a command or
// write a message. Returns kExitOk when a worker runs; otherwise the exit code, and in `why` the
// reason, as a message without a prefix.
int CheckWorker(std::string& why) {
  OpenStatus status;
  switch (QueryWorkerLiveness(&status)) {
    case WorkerLiveness::kRunning:
      return kExitOk;
    case WorkerLiveness::kNotRunning:
      why = "no worker is running in namespace '" + CurrentIpcNamespace() + "'; " + kStartHint;
      return kExitNoWorker;
    case WorkerLiveness::kUnknown:
      break;
  }
  const std::string object = "the worker lock (" + ObjectDescription(kWorkerLockName) + ")";
  if (status.error == OpenError::kNotOwned) {
    why = "no worker of ours: " + object + " belongs to another user";
    return kExitNoWorker;
  }
  why = "cannot tell whether a worker is running: " + object + ": " +
        std::string(DescribeOpenError(status.error)) + SystemErrorText(status.systemError);
  return kExitFailure;
}

int ReportPublishFailure(PublishResult result, double timeoutSeconds, std::ostream& err) {
  switch (result) {
    case PublishResult::kPublished:
      return kExitOk;
    case PublishResult::kRingFull:
      err << "tavrik-ctl: timed out after " << timeoutSeconds
          << " s waiting for a free command slot: 64 commands are pending and the worker took "
             "none of them\n";
      return kExitNoWorker;
    case PublishResult::kLockTimedOut:
      err << "tavrik-ctl: timed out after " << timeoutSeconds
          << " s waiting for another tavrik-ctl to finish publishing\n";
      return kExitNoWorker;
    case PublishResult::kLockUnavailable:
      err << "tavrik-ctl: cannot take the command ring's producer lock\n";
      return kExitFailure;
    case PublishResult::kRingLost:
      err << "tavrik-ctl: the command ring was cut short by another process while the command "
             "was published; it did not reach the worker\n";
      return kExitFailure;
    case PublishResult::kNoView:
      err << "tavrik-ctl: the command ring is not mapped\n";
      return kExitFailure;
  }
  return kExitFailure;
}

int Publish(const CtlRequest& request, Clock::time_point deadline, double timeoutSeconds,
            std::ostream& err) {
  SharedMapping cmdRing;
  if (const int code = OpenRing(kCmdRingMappingName, kCmdRingBytes, "command ring", cmdRing, err);
      code != kExitOk) {
    return code;
  }
  // Without the event the worker still finds the command on its next 50 ms poll.
  const NamedEvent event = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
  return ReportPublishFailure(
      PublishCommand(cmdRing, event, EncodeCommandSlot(request.command), deadline), timeoutSeconds,
      err);
}

int OpenHitReader(std::optional<HitRingReader>& reader, std::ostream& err) {
  SharedMapping hitRing;
  if (const int code = OpenRing(kHitRingMappingName, kHitRingBytes, "hit ring", hitRing, err);
      code != kExitOk) {
    return code;
  }
  reader.emplace(std::move(hitRing), NamedEvent::Open(kHitRingEventName, OpenMode::kOpenExisting));
  return kExitOk;
}

void WarnResync(bool resynced, std::ostream& err) {
  if (resynced) {
    err << "tavrik-ctl: hit ring readIndex was ahead of writeIndex; skipped to writeIndex\n";
  }
}

bool IsReply(const std::string& name, std::string_view replyPrefix, bool exact) {
  return exact ? name == replyPrefix : name.compare(0, replyPrefix.size(), replyPrefix) == 0;
}

// heartbeat and version: publish, then look for the reply among the messages published after the
// request. The ring belongs to its reader (a UI): by default nothing is consumed, the messages are
// only looked at; --drain consumes what is pending first, for a ring nobody else reads.
int RequestReply(const CtlRequest& request, std::string_view replyPrefix, bool exact,
                 std::ostream& out, std::ostream& err) {
  const double seconds = request.timeoutSeconds.value_or(kDefaultTimeoutSeconds);
  const auto deadline = DeadlineAfter(seconds);
  std::optional<HitRingReader> reader;
  if (const int code = OpenHitReader(reader, err); code != kExitOk) return code;
  if (request.drain) reader->DiscardPending();
  const RingHeader before = reader->Header();
  if (const int code = Publish(request, deadline, seconds, err); code != kExitOk) return code;

  // Every message from here on was published after the request was read from the ring or later.
  std::uint32_t next = before.writeIndex;
  bool takenByReader = false;
  for (;;) {
    const RingHeader now = reader->Header();
    for (; next != now.writeIndex; ++next) {
      HitSlot slot;
      const HitRingReader::PeekResult result = reader->Peek(next, slot);
      if (result == HitRingReader::PeekResult::kNotYetWritten) break;
      if (result == HitRingReader::PeekResult::kConsumed) {
        takenByReader = true;  // another reader was faster; the reply may have been among these
        continue;
      }
      if (const std::string name = DecodeHitName(slot); IsReply(name, replyPrefix, exact)) {
        out << name << '\n' << std::flush;
        return kExitOk;
      }
    }
    const milliseconds left = Remaining(deadline);
    if (left.count() == 0) break;
    reader->WaitForMore(left);
  }

  const RingHeader after = reader->Header();
  err << "tavrik-ctl: no reply (" << replyPrefix << (exact ? "" : "...") << ") within " << seconds
      << " s";
  if (after.droppedCount != before.droppedCount && after.writeIndex - after.readIndex >= 64) {
    err << ": the hit ring is full (64 messages nobody has read), so the worker dropped its "
           "reply. Read the ring (tavrik-ctl watch), or use --drain if no UI reads it\n";
  } else if (takenByReader) {
    err << ": another reader of the hit ring (a UI?) took the messages before tavrik-ctl could "
           "look at them; the reply may have been among them\n";
  } else {
    err << '\n';
  }
  return kExitNoWorker;
}

int Watch(const CtlRequest& request, std::ostream& out, std::ostream& err) {
  std::optional<HitRingReader> reader;
  if (const int code = OpenHitReader(reader, err); code != kExitOk) return code;
  const std::optional<Clock::time_point> deadline =
      request.timeoutSeconds ? std::optional(DeadlineAfter(*request.timeoutSeconds)) : std::nullopt;
  std::uint64_t printed = 0;
  for (;;) {
    bool resynced = false;
    while (const std::optional<HitSlot> slot = reader->TryNext(&resynced)) {
      out << HitSlotToJson(*slot) << '\n' << std::flush;
      if (request.count && ++printed >= *request.count) return kExitOk;
    }
    WarnResync(resynced, err);
    if (!out) {
      return kExitFailure;  // the other end of a pipe went away
    }
    milliseconds wait{50};  // WaitForMore caps its wait at this anyway
    if (deadline) {
      wait = Remaining(*deadline);
      if (wait.count() == 0) break;
    }
    reader->WaitForMore(wait);
  }
  if (request.count) {
    err << "tavrik-ctl: timed out after " << *request.timeoutSeconds << " s with " << printed
        << " of " << *request.count << " messages\n";
    return kExitNoWorker;
  }
  return kExitOk;
}

int Status(const CtlRequest& request, std::ostream& out, std::ostream& err) {
  std::string noWorker;
  const int workerCode = CheckWorker(noWorker);
  const bool running = workerCode == kExitOk;
  // Without a worker, missing rings are no news: the headers are shown when they are there.
  std::ostringstream ignored;
  std::ostream& ringErrors = running ? err : ignored;
  SharedMapping cmdRing;
  SharedMapping hitRing;
  int code = OpenRing(kCmdRingMappingName, kCmdRingBytes, "command ring", cmdRing, ringErrors);
  if (code == kExitOk) {
    code = OpenRing(kHitRingMappingName, kHitRingBytes, "hit ring", hitRing, ringErrors);
  }
  std::optional<RingHeader> cmd;
  std::optional<RingHeader> hit;
  const std::string session = WaylandSessionLimit();
  if (code == kExitOk) {
    cmd = ReadHeader(static_cast<CmdRingLayout*>(cmdRing.View())->header);
    hit = ReadHeader(static_cast<HitRingLayout*>(hitRing.View())->header);
  }
  if (request.json) {
    out << "{\"namespace\":" << JsonString(CurrentIpcNamespace())
        << ",\"workerRunning\":" << (running ? "true" : "false");
    if (cmd) {
      out << ",\"cmdRing\":" << RingHeaderToJson(*cmd) << ",\"hitRing\":" << RingHeaderToJson(*hit);
    }
    if (!session.empty()) out << ",\"session\":" << JsonString(session);
    out << "}\n";
  } else {
    out << "namespace: " << CurrentIpcNamespace() << '\n'
        << (running ? "worker: running" : noWorker) << '\n';
    if (cmd) {
      out << "cmdRing: " << RingHeaderToText(*cmd) << '\n'
          << "hitRing: " << RingHeaderToText(*hit) << '\n';
    }
    if (!session.empty()) out << "session: " << session << '\n';
  }
  if (request.json && !running) err << "tavrik-ctl: " << noWorker << '\n';
  return running ? code : workerCode;
}

}  // namespace

int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  // probe evaluates a template in-process, has options of its own and never opens a ring.
  if (!args.empty() && args.front() == "probe") {
    return RunProbe(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  if (args.size() == 2 && args[0] == "help" && args[1] == "probe") {
    return RunProbe({"--help"}, out, err);
  }
  const ParseResult parsed = ParseCtlArgs(args);
  if (!parsed.ok) {
    err << "tavrik-ctl: " << parsed.error << '\n';
    return kExitUsage;
  }
  const CtlRequest& request = parsed.request;
  for (const std::string& warning : request.warnings)
    err << "tavrik-ctl: warning: " << warning << '\n';
  if (request.verb == Verb::kHelp) {
    out << HelpText(request.helpTopic);
    return kExitOk;
  }
  if (request.verb == Verb::kOwnVersion) {
    out << "tavrik-ctl " << kWorkerVersion << '\n';
    return kExitOk;
  }
  if (const std::string ns = CurrentIpcNamespace(); !IsValidIpcNamespace(ns)) {
    err << "tavrik-ctl: TAVRIK_IPC_NAMESPACE '" << LineSafe(ns)
        << "' is not a valid namespace: it must be " << kIpcNamespaceRule << "\n";
    return kExitFailure;
  }

  // status says it in its own way, add --check publishes nothing; every other verb needs a worker
  // at the other end.
  if (request.verb != Verb::kStatus && !request.check) {
    std::string noWorker;
    if (const int code = CheckWorker(noWorker); code != kExitOk) {
      err << "tavrik-ctl: " << noWorker << '\n';
      return code;
    }
  }
  switch (request.verb) {
    case Verb::kAdd: {
      for (const std::string& warning : TemplatePathWarnings(request.command)) {
        err << "tavrik-ctl: warning: " << warning << '\n';
      }
      if (request.check) return CheckTemplate(request.command, out, err);
      const double seconds = request.timeoutSeconds.value_or(kDefaultTimeoutSeconds);
      return Publish(request, DeadlineAfter(seconds), seconds, err);
    }
    case Verb::kRemove:
    case Verb::kClear: {
      const double seconds = request.timeoutSeconds.value_or(kDefaultTimeoutSeconds);
      return Publish(request, DeadlineAfter(seconds), seconds, err);
    }
    case Verb::kHeartbeat:
      return RequestReply(request, "__hb__:CMD", true, out, err);
    case Verb::kVersion:
      return RequestReply(request, "__ver__:", false, out, err);
    case Verb::kWatch:
      return Watch(request, out, err);
    case Verb::kStatus:
      return Status(request, out, err);
    case Verb::kHelp:
    case Verb::kOwnVersion:
      break;
  }
  return kExitOk;
}

}  // namespace tavrik::ctl
