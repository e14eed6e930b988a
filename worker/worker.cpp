#include "worker/worker.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/display_session.h"
#include "base/executable_path.h"
#include "base/line_escape.h"
#include "base/log_output.h"
#include "base/log_sink.h"
#include "capture/screen_capture.h"
#include "capture/screen_changes.h"
#include "capture/target_window.h"
#include "commands/spec_commands.h"
#include "detect/detection_loop.h"
#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "ipc/worker_lock.h"
#include "registry/template_registry.h"
#include "worker/process_env.h"
#include "worker/stop_request.h"

namespace tavrik {
namespace {

// A line that ends the worker: to the log, and to the standard error unless the log goes there.
void ReportFatal(const LogSink& log, const std::string& line) {
  log.Emit(line, LogSeverity::kError);
  if (!log.WritesToStandardError()) {
    const std::string_view prefix =
        StandardErrorIsJournal() ? JournalPrefix(LogSeverity::kError) : std::string_view();
    std::fprintf(stderr, "%.*s%s\n", static_cast<int>(prefix.size()), prefix.data(), line.c_str());
  }
}

bool DamageDisabledForTests() {
  const char* value = std::getenv("TAVRIK_DAMAGE");
  return value != nullptr && std::string_view(value) == "0";
}

}  // namespace

int RunWorker() {
  // Before any thread exists, the log's writer included: OpenCV's thread setting is
  // process-wide.
  const int poolThreads = PoolThreadsFor(std::thread::hardware_concurrency());
  ConfigureImageThreads(poolThreads);

  // Still before any thread: every thread made from here on leaves the stop signals to the
  // worker's own waiter, the log's writer thread included.
  StopRequests stopRequests;
  const LogSink log = LogSink::FromEnvironment();

  const std::filesystem::path exeDirectory = ExecutableDirectory();
  DeclareDpiAwareness();
  HideConsoleWindow();
  // The worker has nothing to say on its streams; a library that writes to them is silenced.
  std::cout.setstate(std::ios::failbit);
  std::cerr.setstate(std::ios::failbit);

  // A namespace outside the rule would make object names with control characters, dot-files or
  // paths; nothing is created for it.
  if (const std::string ns = CurrentIpcNamespace(); !IsValidIpcNamespace(ns)) {
    ReportFatal(log, "[Init] TAVRIK_IPC_NAMESPACE '" + LineSafe(ns) +
                         "' is not a valid namespace: it must be " + kIpcNamespaceRule +
                         "; exiting.");
    return kExitStartFailure;
  }

  // A starter that asked to be watched and is not our parent (any more) must not get a worker
  // that outlives it.
  if (std::string error; !stopRequests.WatchParentFromEnvironment(error)) {
    ReportFatal(log, "[Init] " + error + "; exiting.");
    return kExitStartFailure;
  }

  // Before any ring is touched: a second worker must not take a single command.
  WorkerLock workerLock;
  switch (WorkerLock::Acquire(workerLock)) {
    case WorkerLock::Result::kAcquired:
      break;
    case WorkerLock::Result::kTaken:
      ReportFatal(log, "[Init] Another worker is already running in namespace '" +
                           LineSafe(CurrentIpcNamespace()) + "'; exiting.");
      return kExitAnotherWorker;
    case WorkerLock::Result::kUnavailable:
      ReportFatal(log, "[Init] Failed to take the worker lock in namespace '" +
                           LineSafe(CurrentIpcNamespace()) +
                           "': " + std::string(DescribeOpenError(workerLock.Status().error)) + ".");
      return kExitStartFailure;
  }

  CmdRingConsumer consumer = CmdRingConsumer::Open(log);
  if (!consumer.HasView()) {
    ReportFatal(log, "[Init] Failed to initialize CmdRing consumer.");
    consumer = CmdRingConsumer();  // view, mapping, then event
    return kExitStartFailure;
  }

  std::unique_ptr<HitRingWriter> writer = HitRingWriter::Create(log);
  if (!writer->Ready()) {
    log.Emit("[Init] Warning: HitRingWriter not ready; hits won't reach UI.", LogSeverity::kWarning);
  }
  SendVersion(writer.get());

  TemplateRegistry registry;
  const SpecContext specs{registry, log, exeDirectory, LookUpTargetWindow, ScreenBounds};
  const CommandTable table{
      .addSpec = [&](const SpecCommand& command) { AddSpecHandler(specs, command); },
      .removeSpec = [&](const std::u16string& name) { RemoveSpecHandler(specs, name); },
      .clearSpecs = [&] { ClearSpecsHandler(specs); },
      .heartbeat = [&] { SendHeartbeat(writer.get(), "CMD"); },
      .version = [&] { SendVersion(writer.get()); },
  };
  // A hit ring cut short is mended when the next message goes in; this mends it within 50 ms even
  // while nothing is published, so that a peer can open it again.
  const auto checkHitRing = [&] { writer->CheckRing(); };

  std::stop_source stop;
  std::thread commandThread;
  try {
    commandThread = std::thread([&, token = stop.get_token()] {
      RunCommandThread(consumer, table, log, token, checkHitRing);
    });
  } catch (const std::exception& e) {
    // Without the CommandThread no command would ever run; a worker that silently ignores its
    // UI is worse than one that exits and can be restarted.
    ReportFatal(log, "[Init] Failed to start CommandThread: " + LineSafe(e.what()));
    return kExitStartFailure;
  }

  stopRequests.Watch(stop, log);
  if (const std::string limit = WaylandSessionLimit(); !limit.empty()) {
    log.Emit("[Init] " + limit, LogSeverity::kWarning);
  }
  log.Emit("Tavrik waiting for spec registrations from C#.");

  DetectionContext detection{registry, writer.get(), log, CaptureScreenRegionView, poolThreads};
  detection.onlyFreeCores = true;
  detection.releaseCapture = ReleaseThreadCaptureBuffers;
  detection.screenBounds = ScreenBounds;
  // TAVRIK_DAMAGE=0 is for tests only: it makes the worker read every due rectangle in every pass,
  // as on a display without the DAMAGE extension, so that both paths can be checked end to end.
  ScreenChanges screenChanges;
  if (!DamageDisabledForTests()) {
    detection.damage = [&screenChanges](std::vector<IntRect>* damaged) {
      if (damaged == nullptr) {
        screenChanges.Pause();
        return false;
      }
      return screenChanges.Take(*damaged);
    };
  }
  RunDetectionLoop(detection, stop.get_token());

  // Asked to stop (POSIX: SIGTERM or SIGINT). The loop has ended; the CommandThread finishes the
  // command in progress and leaves the rest in the ring. Then the rings go in their fixed order,
  // the hit ring after every thread that wrote it; the shared objects themselves stay for the
  // next worker, and the worker lock goes last, so that no next worker starts on rings still in
  // use.
  commandThread.join();
  consumer = CmdRingConsumer();  // view, mapping, then event
  writer.reset();
  log.Emit("[Init] Stopped.");
  return 0;
}

}  // namespace tavrik
