#include "ipc/hit_ring.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/utf.h"

namespace tavrik {
namespace {

constexpr std::chrono::milliseconds kMaxEventWait{50};
constexpr std::chrono::milliseconds kPollWithoutEvent{10};

void SendProcessMessage(HitRingWriter* writer, std::string_view name) {
  if (writer == nullptr || !writer->Ready()) return;
  HitMessage message;
  message.timestampMs = WallClockMs();
  writer->Publish(name, message);
}

}  // namespace

void EncodeHitName(std::string_view utf8, char16_t (&field)[kNameUnits]) {
  std::memset(field, 0, sizeof field);
  const std::u16string wide = Utf8ToUtf16(utf8);
  // A name that does not fit keeps its longest whole-character prefix rather than vanishing; the
  // last two units always stay zero, so readers that stop at 30 or at 31 units agree.
  const std::u16string_view kept = TruncateUtf16(wide, kHitNameMaxUnits);
  std::memcpy(field, kept.data(), kept.size() * sizeof(char16_t));
}

std::string DecodeHitName(const HitSlot& slot) {
  std::size_t length = 0;
  while (length < kNameUnits && slot.name[length] != 0) ++length;
  return ToUtf8(std::u16string_view(slot.name, length));
}

std::unique_ptr<HitRingWriter> HitRingWriter::Create(LogSink log) {
  SharedMapping mapping = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  if (const auto grownFrom = mapping.GrownFrom(); grownFrom && mapping.View() != nullptr) {
    // Slots cut through are no messages, and the part beyond the cut reads zeros.
    std::memset(mapping.View(), 0, kHitRingBytes);
    log.Emit("[Init] Hit ring was " + std::to_string(*grownFrom) +
             " bytes, cut short by another process; grown to " + std::to_string(kHitRingBytes) +
             " bytes, unread messages lost",
             LogSeverity::kWarning);
  }
  NamedEvent event = NamedEvent::Open(kHitRingEventName);
  return std::make_unique<HitRingWriter>(std::move(mapping), std::move(event), std::move(log));
}

HitRingWriter::HitRingWriter(SharedMapping mapping, NamedEvent event, LogSink log)
    : event_(std::move(event)), mapping_(std::move(mapping)), log_(std::move(log)) {
  if (mapping_.View() != nullptr && mapping_.Size() >= kHitRingBytes) {
    ring_ = static_cast<HitRingLayout*>(mapping_.View());
  }
}

void HitRingWriter::Publish(std::string_view nameUtf8, const HitMessage& message) {
  if (ring_ == nullptr) return;
  char16_t name[kNameUnits];
  EncodeHitName(nameUtf8, name);

  std::lock_guard lock(publishMutex_);
  // Twice at most: a ring cut short while this message went in is restored, and the message
  // stored again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!RepairLocked()) return;
    StoreLocked(name, message);
    if (!mapping_.Lost()) return;
  }
}

void HitRingWriter::CheckRing() {
  if (ring_ == nullptr) return;
  std::lock_guard lock(publishMutex_);
  RepairLocked();
}

bool HitRingWriter::RepairLocked() {
  std::uint64_t sizeFound = kHitRingBytes;
  switch (mapping_.RestoreIfCutShort(&sizeFound)) {
    case SharedMapping::Restore::kIntact:
      return true;
    case SharedMapping::Restore::kRestored:
      // Slots cut through are no messages, and the part beyond the cut reads zeros: the ring
      // starts empty, as a new one would (a fault that met the ring cut short may also have been
      // mended with the bytes before the cut still in place).
      std::memset(static_cast<void*>(ring_), 0, kHitRingBytes);
      log_.Emit("[Loop] Hit ring was cut short by another process" +
                (sizeFound < kHitRingBytes ? " (to " + std::to_string(sizeFound) + " bytes)"
                                           : std::string()) +
                "; restored at " + std::to_string(kHitRingBytes) + " bytes, unread messages lost",
                LogSeverity::kWarning);
      return true;
    case SharedMapping::Restore::kLost:
      return false;
  }
  return false;
}

void HitRingWriter::StoreLocked(const char16_t (&name)[kNameUnits], const HitMessage& message) {
  RingHeader& header = ring_->header;
  const std::uint32_t w = header.writeIndex;  // only this writer stores it
  // Acquire: pairs with the reader's release store of readIndex; a slot it has released is no
  // longer being copied.
  const std::uint32_t r = LoadIndex(header.readIndex);
  if (w - r >= kRingSlotCount) {
    std::atomic_ref<std::uint32_t> dropped(header.droppedCount);
    dropped.store(dropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return;
  }
  HitSlot& slot = ring_->slots[w & kRingSlotMask];
  slot.timestampMs = message.timestampMs;
  slot.posX = message.posX;
  slot.posY = message.posY;
  slot.roiWidth = message.roiWidth;
  slot.roiHeight = message.roiHeight;
  slot.isHit = message.isHit ? 1u : 0u;
  slot.score = message.score;
  slot.threshold = message.threshold;
  slot.baseline = message.baseline;
  std::memcpy(slot.name, name, sizeof name);
  // Release: pairs with the reader's acquire load of writeIndex; the slot is complete before the
  // index says so.
  StoreIndex(header.writeIndex, w + 1);
  if (event_.Valid()) event_.Signal();
}

void SendHeartbeat(HitRingWriter* writer, std::string_view tag) {
  std::string name = "__hb__";
  if (!tag.empty()) {
    name += ':';
    name += tag;
  }
  SendProcessMessage(writer, name);
}

void SendVersion(HitRingWriter* writer) {
  SendProcessMessage(writer, std::string("__ver__:") + kWorkerVersion);
}

HitRingReader::HitRingReader(SharedMapping mapping, NamedEvent event)
    : event_(std::move(event)),
      mapping_(std::move(mapping)),
      ring_(static_cast<HitRingLayout*>(mapping_.View())) {}

std::optional<HitSlot> HitRingReader::TryNext(bool* resynced) {
  if (ring_ == nullptr) return std::nullopt;
  // A ring cut short by another process: map it again (the worker restores it too), so that this
  // reader sees the ring the worker writes rather than the private pages that replaced it.
  if (mapping_.RestoreIfLost() == SharedMapping::Restore::kLost) return std::nullopt;
  // Acquire: pairs with the writer's release store of writeIndex in Publish.
  const std::uint32_t w = LoadIndex(ring_->header.writeIndex);
  const std::uint32_t r = LoadIndex(ring_->header.readIndex);
  if (w == r) return std::nullopt;
  if (w - r > kRingSlotCount) {
    // The worker drops everything while the indexes are in this state; only the reader can
    // mend it, and what the slots hold is not trustworthy.
    StoreIndex(ring_->header.readIndex, w);
    if (resynced != nullptr) *resynced = true;
    return std::nullopt;
  }
  HitSlot slot;
  std::memcpy(&slot, &ring_->slots[r & kRingSlotMask], sizeof slot);
  if (mapping_.Lost()) return std::nullopt;  // cut short while copied: the copy is not the slot
  // Release: pairs with the writer's acquire load of readIndex in Publish; the copy is complete
  // before the slot may be reused.
  StoreIndex(ring_->header.readIndex, r + 1);
  return slot;
}

void HitRingReader::WaitForMore(std::chrono::milliseconds timeout) const {
  if (event_.Valid()) {
    event_.Wait(std::min(timeout, kMaxEventWait));
  } else {
    std::this_thread::sleep_for(std::min(timeout, kPollWithoutEvent));
  }
}

RingHeader HitRingReader::Header() const {
  RingHeader header{};
  if (ring_ == nullptr) return header;
  header.writeIndex = LoadIndex(ring_->header.writeIndex);
  header.readIndex = LoadIndex(ring_->header.readIndex);
  header.droppedCount = LoadIndex(ring_->header.droppedCount);
  header.headerReserved = LoadIndex(ring_->header.headerReserved);
  return header;
}

HitRingReader::PeekResult HitRingReader::Peek(std::uint32_t index, HitSlot& out) const {
  if (ring_ == nullptr) return PeekResult::kNotYetWritten;
  // Distances are taken as signed: indexes wrap, and "before" means less than half a ring of
  // 2^32 behind.
  const auto behind = [](std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
  };
  if (behind(index, LoadIndex(ring_->header.readIndex))) return PeekResult::kConsumed;
  // Acquire: pairs with the writer's release store of writeIndex in Publish.
  if (!behind(index, LoadIndex(ring_->header.writeIndex))) return PeekResult::kNotYetWritten;
  std::memcpy(&out, &ring_->slots[index & kRingSlotMask], sizeof out);
  // The writer reuses this slot only for message index + 64, which needs readIndex past index:
  // while readIndex has not passed it, the copy is whole. The copy must be done before readIndex
  // is read again; x86-64, the rings' platform, never lets a load pass an older load, so it is
  // enough that the compiler keeps the order.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (behind(index, LoadIndex(ring_->header.readIndex))) return PeekResult::kConsumed;
  return PeekResult::kCopied;
}

std::uint32_t HitRingReader::DiscardPending() {
  std::uint32_t count = 0;
  while (TryNext()) ++count;
  return count;
}

}  // namespace tavrik
