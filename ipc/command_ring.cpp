#include "ipc/command_ring.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

namespace tavrik {
namespace {

template <std::size_t N>
std::u16string DecodeText(const char16_t (&field)[N]) {
  std::size_t length = 0;
  while (length < N && field[length] != u'\0') ++length;
  return std::u16string(field, length);
}

constexpr auto kIdleWait = std::chrono::milliseconds(50);

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

SpecCommand DecodeCommandSlot(const CommandSlot& slot) {
  SpecCommand command;
  command.commandType = slot.commandType;
  command.processName = DecodeText(slot.processName);
  command.name = DecodeText(slot.name);
  command.path = DecodeText(slot.path);
  command.roiX = slot.roiX;
  command.roiY = slot.roiY;
  command.roiWidth = slot.roiWidth;
  command.roiHeight = slot.roiHeight;
  command.threshold = slot.threshold;
  command.spare = slot.spare;
  command.cooldownMs = slot.cooldownMs;
  command.baselineMargin = slot.baselineMargin;
  return command;
}

CmdRingConsumer CmdRingConsumer::Open() {
  CmdRingConsumer consumer;
  consumer.mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  consumer.event = NamedEvent::Open(kCmdRingEventName);
  return consumer;
}

bool DrainCommandRing(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log) {
  bool worked = false;
  CmdRingLayout* ring = consumer.Ring();
  while (ring != nullptr) {
    RingHeader& header = ring->header;
    const std::uint32_t w = LoadIndex(header.writeIndex);
    std::uint32_t r = LoadIndex(header.readIndex);
    if (r == w) break;
    if (w - r > kRingSlotCount) {
      // A producer that ran more than a ring ahead has overwritten what lay between; executing the
      // stale slots would replay up to 2^32 old commands. Keep the newest ring's worth.
      const std::uint32_t skipped = w - r - kRingSlotCount;
      log.Emit("[Spec] Command ring overrun: writeIndex=" + std::to_string(w) + " readIndex=" +
               std::to_string(r) + "; skipped " + std::to_string(skipped) + " stale slots");
      r = w - kRingSlotCount;
    }
    CommandSlot copy;
    std::memcpy(&copy, &ring->slots[r & kRingSlotMask], sizeof copy);
    const SpecCommand command = DecodeCommandSlot(copy);
    StoreIndex(header.readIndex, r + 1);  // the slot is free before the command runs
    try {
      Dispatch(command, table);
    } catch (const std::exception& e) {
      log.Emit("[Spec] Command " + std::to_string(command.commandType) + " failed: " + e.what());
    } catch (...) {
      log.Emit("[Spec] Command " + std::to_string(command.commandType) + " failed: unknown error");
    }
    worked = true;
  }
  return worked;
}

void RunCommandThread(CmdRingConsumer& consumer, const CommandTable& table, const LogSink& log,
                      std::stop_token stop) {
  if (!consumer.HasView()) return;
  while (!stop.stop_requested()) {
    if (DrainCommandRing(consumer, table, log)) continue;
    // Signalled and timed out are alike: either way the next pass looks at the indexes.
    if (consumer.event.Valid()) {
      consumer.event.Wait(kIdleWait);
    } else {
      std::this_thread::sleep_for(kIdleWait);
    }
  }
}

}  // namespace tavrik
