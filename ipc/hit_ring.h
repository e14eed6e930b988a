// HitRingWriter: the worker's producer side of the hit ring, plus the two process-level messages
// (heartbeat and version).
//
// The ring never overwrites: a full ring drops the new message and counts it in droppedCount.
// Text goes in as UTF-8 and is stored as at most 30 UTF-16 units plus a terminating zero; a longer
// name keeps its longest prefix of whole characters so that the reader can still tell which
// template it was.
//
// Threads: Publish serialises itself, so the DetectionLoop (main thread) and the CommandThread may
// publish at the same time. Create the writer before starting either thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik {

inline constexpr char kWorkerVersion[] = "0.2.4";
inline constexpr std::size_t kHitNameMaxUnits = 30;

// Fills the 32-unit name field: zeros, then at most 30 units of the converted name.
void EncodeHitName(std::string_view utf8, char16_t (&field)[kNameUnits]);

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
  // Creates or opens the hit ring mapping and its event.
  static std::unique_ptr<HitRingWriter> Create();

  HitRingWriter(SharedMapping mapping, NamedEvent event);

  // True when the ring is mapped; a writer that is not ready discards everything uncounted.
  bool Ready() const { return ring_ != nullptr; }

  void Publish(std::string_view nameUtf8, const HitMessage& message);

 private:
  // Declaration order gives the release order: the view and mapping go before the event.
  NamedEvent event_;
  SharedMapping mapping_;
  HitRingLayout* ring_ = nullptr;
  std::mutex publishMutex_;
};

// "__hb__" or "__hb__:<tag>", through `writer` when it exists and is ready.
void SendHeartbeat(HitRingWriter* writer, std::string_view tag = {});
// "__ver__:0.2.4".
void SendVersion(HitRingWriter* writer);

}  // namespace tavrik
