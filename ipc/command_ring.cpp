#include "ipc/command_ring.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "base/line_escape.h"
#include "ipc/producer_lock.h"

namespace tavrik {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleWait = std::chrono::milliseconds(50);
// No producer gets 2^31 messages ahead of a consumer that keeps up, and a gap of exactly 2^31 is as
// far ahead as behind: from there on, writeIndex has moved backwards.
constexpr std::uint32_t kBackwardsGap = 0x80000000u;

// Whatever lay in the ring beyond the cut reads zeros now, and a slot cut through would run
// half a command: every pending one is dropped, as the producer's index stands.
void DropPendingCommands(CmdRingLayout* ring) {
  StoreIndex(ring->header.readIndex, LoadIndex(ring->header.writeIndex));
}

void Dispatch(const SpecCommand& command, const CommandTable& table) {
  switch (command.commandType) {
    case kAddSpec:
      if (table.addSpec) table.addSpec(command);
      break;
    case kRemoveSpec:
      if (table.removeSpec) table.removeSpec(command.name);
      break;
    case kClearSpecs:
      if (table.clearSpecs) table.clearSpecs();
      break;
    case kHeartbeat:
      if (table.heartbeat) table.heartbeat();
      break;
    case kVersion:
      if (table.version) table.version();
      break;
    default:
      break;  // unknown types are consumed without a message
  }
}

}  // namespace

CommandGap ClassifyCommandGap(std::uint32_t writeIndex, std::uint32_t readIndex) {
  const std::uint32_t gap = writeIndex - readIndex;
  if (gap == 0) return CommandGap::kEmpty;
  if (gap >= kBackwardsGap) return CommandGap::kBackwards;
  return gap > kRingSlotCount ? CommandGap::kOverrun : CommandGap::kPending;
}

CmdRingConsumer CmdRingConsumer::Open(const LogSink& log) {
  CmdRingConsumer consumer;
  consumer.mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  if (const auto grownFrom = consumer.mapping.GrownFrom(); grownFrom && consumer.HasView()) {
    DropPendingCommands(consumer.Ring());
    log.Emit("[Init] Command ring was " + std::to_string(*grownFrom) +
             " bytes, cut short by another process; grown to " + std::to_string(kCmdRingBytes) +
             " bytes, pending commands lost",
             LogSeverity::kWarning);
  }
  consumer.event = NamedEvent::Open(kCmdRingEventName);
  return consumer;
}

bool DrainCommandRing(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log,
                      std::stop_token stop) {
  bool worked = false;
  CmdRingLayout* ring = consumer.Ring();
  std::uint64_t sizeFound = kCmdRingBytes;
  switch (consumer.mapping.RestoreIfCutShort(&sizeFound)) {
    case SharedMapping::Restore::kIntact:
      break;
    case SharedMapping::Restore::kRestored:
      DropPendingCommands(ring);
      log.Emit("[Spec] Command ring was cut short by another process" +
               (sizeFound < kCmdRingBytes ? " (to " + std::to_string(sizeFound) + " bytes)"
                                          : std::string()) +
               "; restored at " + std::to_string(kCmdRingBytes) + " bytes, pending commands lost",
               LogSeverity::kWarning);
      break;
    case SharedMapping::Restore::kLost:
      return false;  // tried again on the next pass
  }
  while (ring != nullptr && !stop.stop_requested()) {
    RingHeader& header = ring->header;
    // Acquire: pairs with the producer's release store of writeIndex, so the slot reads below
    // see the whole slot it published.
    const std::uint32_t w = LoadIndex(header.writeIndex);
    std::uint32_t r = LoadIndex(header.readIndex);
    const CommandGap gap = ClassifyCommandGap(w, r);
    if (gap == CommandGap::kEmpty) break;
    if (gap == CommandGap::kBackwards) {
      // writeIndex is behind readIndex (a producer reset its header, say): what lies "between"
      // is the whole index space, and every slot in the ring is old. Run nothing and follow the
      // producer to where it now stands.
      log.Emit("[Spec] Command ring writeIndex went backwards: writeIndex=" + std::to_string(w) +
               " readIndex=" + std::to_string(r) + "; nothing run, readIndex set to writeIndex",
               LogSeverity::kWarning);
      // Release: pairs with the producer's acquire load of readIndex, as for a consumed slot.
      StoreIndex(header.readIndex, w);
      continue;
    }
    if (gap == CommandGap::kOverrun) {
      // A producer that ran more than a ring ahead has overwritten what lay between; executing the
      // stale slots would replay up to 2^32 old commands. Keep the newest ring's worth.
      const std::uint32_t skipped = w - r - kRingSlotCount;
      log.Emit("[Spec] Command ring overrun: writeIndex=" + std::to_string(w) + " readIndex=" +
               std::to_string(r) + "; skipped " + std::to_string(skipped) + " stale slots",
               LogSeverity::kWarning);
      r = w - kRingSlotCount;
    }
    CommandSlot copy;
    std::memcpy(&copy, &ring->slots[r & kRingSlotMask], sizeof copy);
    // Cut short while it was read: the copy may be half zeros. Never run such a slot; the next
    // pass restores the ring.
    if (consumer.mapping.Lost()) break;
    const SpecCommand command = DecodeCommandSlot(copy);
    // Release: pairs with the producer's acquire load of readIndex; the copy above is complete
    // before the producer may reuse the slot. The slot is free before the command runs.
    StoreIndex(header.readIndex, r + 1);
    try {
      Dispatch(command, table);
    } catch (const std::exception& e) {
      log.Emit("[Spec] Command " + std::to_string(command.commandType) +
               " failed: " + LineSafe(e.what()),
               LogSeverity::kError);
    } catch (...) {
      log.Emit("[Spec] Command " + std::to_string(command.commandType) + " failed: unknown error",
               LogSeverity::kError);
    }
    worked = true;
  }
  return worked;
}

void RunCommandThread(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log,
                      std::stop_token stop, const std::function<void()>& idle) {
  if (!consumer.HasView()) return;
  while (!stop.stop_requested()) {
    if (DrainCommandRing(consumer, table, log, stop)) continue;
    if (idle) idle();
    // Signalled and timed out are alike: either way the next pass looks at the indexes.
    if (consumer.event.Valid()) {
      consumer.event.Wait(kIdleWait);
    } else {
      std::this_thread::sleep_for(kIdleWait);
    }
  }
}

PublishResult PublishCommand(const SharedMapping& cmdRing, const NamedEvent& event,
                             const CommandSlot& slot, Clock::time_point deadline) {
  auto* ring = static_cast<CmdRingLayout*>(cmdRing.View());
  if (ring == nullptr) return PublishResult::kNoView;
  ProducerLock lock;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      std::max(deadline - Clock::now(), Clock::duration::zero()));
  switch (ProducerLock::Acquire(cmdRing, left, lock)) {
    case ProducerLock::Result::kAcquired:
      break;
    case ProducerLock::Result::kTimedOut:
      return PublishResult::kLockTimedOut;
    case ProducerLock::Result::kUnavailable:
      return PublishResult::kLockUnavailable;
  }
  // The consumer frees slots without telling anyone, so room is polled, quickly at first.
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    const std::uint32_t w = LoadIndex(ring->header.writeIndex);
    // Acquire: pairs with the consumer's release store of readIndex; a slot it has released is
    // no longer being copied.
    const std::uint32_t r = LoadIndex(ring->header.readIndex);
    if (w - r < kRingSlotCount) {
      std::memcpy(&ring->slots[w & kRingSlotMask], &slot, sizeof slot);
      // Release: pairs with the consumer's acquire load of writeIndex; the slot is complete
      // before the index says so.
      StoreIndex(ring->header.writeIndex, w + 1);
      // Written into the private pages that stand in for a ring cut short: it reached nobody.
      if (cmdRing.Lost()) return PublishResult::kRingLost;
      event.Signal();
      return PublishResult::kPublished;
    }
    if (Clock::now() >= deadline) return PublishResult::kRingFull;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
  }
}

}  // namespace tavrik
