// Both ends of the hit ring: the worker's HitRingWriter with the two process-level messages
// (heartbeat and version), and the client's HitRingReader.
//
// The ring never overwrites: a full ring drops the new message and counts it in droppedCount.
// Text goes in as UTF-8 and is stored as at most 30 UTF-16 units plus a terminating zero; a longer
// name keeps its longest prefix of whole characters so that the reader can still tell which
// template it was. The ring has one reader: a second one would steal the first one's messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/log_sink.h"
#include "base/version.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik {

inline constexpr std::size_t kHitNameMaxUnits = 30;

// Fills the 32-unit name field: zeros, then at most 30 units of the converted name. Pure.
void EncodeHitName(std::string_view utf8, char16_t (&field)[kNameUnits]);
// A slot's name: the units before the first zero unit, as UTF-8 (lone surrogates become U+FFFD).
// Pure.
std::string DecodeHitName(const HitSlot& slot);

struct HitMessage {
  std::int64_t timestampMs = 0;
  std::int32_t posX = 0;
  std::int32_t posY = 0;
  std::int32_t roiWidth = 0;
  std::int32_t roiHeight = 0;
  float score = 0.0f;
  float threshold = 0.0f;
  bool isHit = false;
  float baseline = 0.0f;
};

class HitRingWriter {
 public:
  // Creates or opens the hit ring mapping and its event. Start-up, before any other thread.
  // `log` hears of a ring that another process cut short: one left short from earlier is grown
  // back here and starts empty.
  static std::unique_ptr<HitRingWriter> Create(LogSink log = {});

  HitRingWriter(SharedMapping mapping, NamedEvent event, LogSink log = {});

  // True when the ring is mapped; a writer that is not ready discards everything uncounted.
  // Any thread.
  bool Ready() const { return ring_ != nullptr; }

  // Stores one message, or counts it as dropped when the ring is full. Any thread: publishing is
  // serialised inside, so the DetectionLoop and the CommandThread may call it at the same time.
  // Never waits for the reader. A ring that another process cut short is restored (and logged)
  // first, or when that happens during the call, after which the message is stored again.
  void Publish(std::string_view nameUtf8, const HitMessage& message);

  // Looks at the ring object's size, as Publish does first, and grows back (and logs) a ring that
  // another process cut short, so that a peer can open it again even while nothing is published.
  // Any thread; the worker's CommandThread calls it on every idle wait.
  void CheckRing();

 private:
  // Mends a ring cut short: it starts empty, as a new one would. False when it could not be
  // mended (tried again next time). publishMutex_ held.
  bool RepairLocked();
  // Publish's steps on the ring; publishMutex_ held.
  void StoreLocked(const char16_t (&name)[kNameUnits], const HitMessage& message);

  // Declaration order gives the release order: the view and mapping go before the event.
  NamedEvent event_;
  SharedMapping mapping_;
  HitRingLayout* ring_ = nullptr;
  LogSink log_;
  std::mutex publishMutex_;  // guards the ring and the restoring of its view
};

// "__hb__" or "__hb__:<tag>", through `writer` when it exists and is ready. Any thread.
void SendHeartbeat(HitRingWriter* writer, std::string_view tag = {});
// "__ver__:0.2.4". Any thread.
void SendVersion(HitRingWriter* writer);

// The client's reader of the hit ring: copies the oldest pending slot and releases it.
// One thread at a time; one reader per ring.
class HitRingReader {
 public:
  HitRingReader(SharedMapping mapping, NamedEvent event);

  bool Ready() const { return ring_ != nullptr; }
  // The next pending message, released to the producer once copied; nullopt when none is
  // pending. Indexes that claim more than 64 pending messages (a reader ran ahead) are put right
  // by skipping to writeIndex, and `resynced` is set. A ring that another process cut short is
  // mapped again first (its messages are gone).
  std::optional<HitSlot> TryNext(bool* resynced = nullptr);
  // Sleeps until the producer signals or `timeout` (capped at 50 ms) passes.
  void WaitForMore(std::chrono::milliseconds timeout) const;
  // Consumes every pending message without looking at it; returns how many.
  std::uint32_t DiscardPending();

  // Looking without consuming, for a client that shares the ring with its real reader (a UI):
  // the header as it stands, and message `index` copied without moving readIndex. kConsumed means
  // the reader took it (its slot may already hold a newer message) before it could be copied.
  enum class PeekResult { kCopied, kNotYetWritten, kConsumed };
  RingHeader Header() const;
  PeekResult Peek(std::uint32_t index, HitSlot& out) const;

 private:
  NamedEvent event_;
  SharedMapping mapping_;
  HitRingLayout* ring_ = nullptr;
};

}  // namespace tavrik
