// The worker's consumer side of the command ring: slot decoding, the CommandThread's
// drain-and-wait cycle and the table that routes each command type to its handler.
//
// A slot is copied out and released (readIndex advanced) before its command runs, so a slow
// command never keeps the producer from reusing the slot. Commands run strictly in ring order.
//
// Threads: DrainCommandRing and RunCommandThread belong to the CommandThread alone. The handlers
// in the CommandTable run on that thread, one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "base/log_sink.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik {

struct SpecCommand {
  std::int32_t commandType = 0;
  std::u16string processName;
  std::u16string name;
  std::u16string path;
  std::int32_t roiX = 0;
  std::int32_t roiY = 0;
  std::int32_t roiWidth = 0;
  std::int32_t roiHeight = 0;
  float threshold = 0.0f;
  float spare = 0.0f;
  std::int32_t cooldownMs = 0;
  float baselineMargin = 0.0f;
};

// Copies a slot; text fields end at their first zero unit or fill their whole width.
SpecCommand DecodeCommandSlot(const CommandSlot& slot);

struct CmdRingConsumer {
  // Declaration order gives the release order: view, mapping handle, then the event.
  NamedEvent event;
  SharedMapping mapping;

  // Creates or opens the command ring mapping and its event.
  static CmdRingConsumer Open();
  bool HasView() const { return mapping.View() != nullptr; }
  CmdRingLayout* Ring() const { return static_cast<CmdRingLayout*>(mapping.View()); }
};

struct CommandTable {
  std::function<void(const SpecCommand&)> addSpec;
  std::function<void(const std::u16string& name)> removeSpec;
  std::function<void()> clearSpecs;
  std::function<void()> heartbeat;
  std::function<void()> version;
};

// Executes every pending command once. Returns true when at least one slot was consumed.
bool DrainCommandRing(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log);

// The CommandThread body: drain, and when a pass found nothing, wait up to 50 ms on the event (or
// sleep 50 ms without one). Returns at once without a view; otherwise only when `stop` is
// requested (the worker itself never requests it).
void RunCommandThread(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log,
                      std::stop_token stop = {});

}  // namespace tavrik
