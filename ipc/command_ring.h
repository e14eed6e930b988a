// Both ends of the command ring: the worker's consumer (the CommandThread's drain-and-wait cycle
// and the table that routes each command type to its handler) and the client's producer.
//
// Consumer: a slot is copied out and released (readIndex advanced) before its command runs, so a
// slow command never keeps the producer from reusing the slot. Commands run strictly in ring
// order.
//
// Producer: the ProducerLock is held from reading writeIndex until the new index is stored; the
// producer never runs more than 64 slots ahead of readIndex (it waits for room up to a deadline);
// a slot is written completely before writeIndex moves, and the event is signalled after that.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "base/log_sink.h"
#include "ipc/command_codec.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik {

// The worker's handles for the command ring. Owned by start-up; the CommandThread alone uses it
// once it runs.
struct CmdRingConsumer {
  // Declaration order gives the release order: view, mapping handle, then the event.
  NamedEvent event;
  SharedMapping mapping;

  // Creates or opens the command ring mapping and its event. Start-up only. A ring object left
  // shorter than the ring is grown back, its pending commands dropped, and `log` hears of it.
  static CmdRingConsumer Open(const LogSink& log = {});
  bool HasView() const { return mapping.View() != nullptr; }
  CmdRingLayout* Ring() const { return static_cast<CmdRingLayout*>(mapping.View()); }
};

// What each command type runs; every handler is called on the CommandThread, one at a time.
struct CommandTable {
  std::function<void(const SpecCommand&)> addSpec;
  std::function<void(const std::u16string& name)> removeSpec;
  std::function<void()> clearSpecs;
  std::function<void()> heartbeat;
  std::function<void()> version;
};

// How the consumer reads the distance from readIndex to writeIndex (unsigned, modulo 2^32). Pure.
enum class CommandGap {
  kEmpty,      // equal
  kPending,    // 1 to 64 ahead: run them
  kOverrun,    // 65 to 2^31 - 1 ahead: a producer overran the ring; the newest 64 run
  kBackwards,  // 2^31 or more ahead, which is as likely writeIndex having moved back: run nothing
};
CommandGap ClassifyCommandGap(std::uint32_t writeIndex, std::uint32_t readIndex);

// Executes every pending command once, or stops after the command in progress when `stop` is
// requested (the rest stay in the ring). Returns true when at least one slot was consumed. First
// looks at the ring object's size: one cut short by another process is grown back (its pending
// commands dropped) and logged. CommandThread only.
bool DrainCommandRing(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log,
                      std::stop_token stop = {});

// The CommandThread body: drain, and when a pass found nothing, call `idle` (when given) and wait
// up to 50 ms on the event (or sleep 50 ms without one). Returns at once without a view; otherwise
// only when `stop` is requested, after the command in progress. Runs on the thread that calls it,
// which becomes the CommandThread.
void RunCommandThread(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log,
                      std::stop_token stop = {}, const std::function<void()>& idle = {});

enum class PublishResult {
  kPublished,
  kRingFull,         // no free slot before the deadline
  kLockTimedOut,     // another producer held the lock until the deadline
  kLockUnavailable,  // the lock could not be taken at all
  kNoView,           // the command ring is not mapped
  kRingLost,         // another process cut the ring short under the slot (ipc/shared_memory.h)
};

// Publishes one slot as a well-behaved producer. Any client thread; blocks until the slot is
// published or `deadline` passes.
PublishResult PublishCommand(const SharedMapping& cmdRing, const NamedEvent& event,
                             const CommandSlot& slot,
                             std::chrono::steady_clock::time_point deadline);

}  // namespace tavrik
