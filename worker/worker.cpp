#include "worker/worker.h"

#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "base/line_escape.h"
#include "base/log_sink.h"
#include "capture/screen_capture.h"
#include "capture/target_window.h"
#include "commands/spec_commands.h"
#include "detect/detection_loop.h"
#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "registry/template_registry.h"
#include "worker/process_env.h"

namespace tavrik {

int RunWorker() {
  const LogSink log = LogSink::FromEnvironment();

  const std::filesystem::path exeDirectory = ExecutableDirectory();
  DeclareDpiAwareness();
  HideConsoleWindow();
  // The worker has nothing to say on its streams; a library that writes to them is silenced.
  std::cout.setstate(std::ios::failbit);
  std::cerr.setstate(std::ios::failbit);

  CmdRingConsumer consumer = CmdRingConsumer::Open();
  if (!consumer.HasView()) {
    log.Emit("[Init] Failed to initialize CmdRing consumer.");
    consumer = CmdRingConsumer();  // view, mapping, then event
    return 1;
  }

  const std::unique_ptr<HitRingWriter> writer = HitRingWriter::Create();
  if (!writer->Ready()) {
    log.Emit("[Init] Warning: HitRingWriter not ready; hits won't reach UI.");
  }
  SendVersion(writer.get());

  TemplateRegistry registry;
  const SpecContext specs{registry, log, exeDirectory, LookUpTargetWindow};
  const CommandTable table{
      .addSpec = [&](const SpecCommand& command) { AddSpecHandler(specs, command); },
      .removeSpec = [&](const std::u16string& name) { RemoveSpecHandler(specs, name); },
      .clearSpecs = [&] { ClearSpecsHandler(specs); },
      .heartbeat = [&] { SendHeartbeat(writer.get(), "CMD"); },
      .version = [&] { SendVersion(writer.get()); },
  };

  std::thread commandThread;
  try {
    commandThread = std::thread([&] { RunCommandThread(consumer, table, log); });
  } catch (const std::exception& e) {
    // Without the CommandThread no command would ever run; a worker that silently ignores its
    // UI is worse than one that exits and can be restarted.
    log.Emit("[Init] Failed to start CommandThread: " + LineSafe(e.what()));
    return 1;
  }

  log.Emit("Tavrik waiting for spec registrations from C#.");

  DetectionContext detection{registry, writer.get(), log, CaptureScreenRegion};
  RunDetectionLoop(detection);
  commandThread.join();  // not reached: the loop runs until the process is terminated
  return 0;
}

}  // namespace tavrik
