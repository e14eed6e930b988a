// The client side of both rings as tavrik-ctl drives it: publishing into the command ring as a
// well-behaved producer and consuming the hit ring as its reader.
//
// Producer rules kept here: the ProducerLock is held from reading writeIndex until the new index
// is stored; the producer never runs more than 64 slots ahead of readIndex (it waits for room up
// to a deadline); a slot is written completely before writeIndex moves, and the event is
// signalled after that.
//
// Threads: everything runs on the caller's thread; RunCtl may block up to the request's timeout.
// The rings are opened, never created.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik::ctl {

enum class PublishResult {
  kPublished,
  kRingFull,         // no free slot before the deadline
  kLockTimedOut,     // another producer held the lock until the deadline
  kLockUnavailable,  // the lock could not be taken at all
  kNoView,           // the command ring is not mapped
};

PublishResult PublishCommand(const SharedMapping& cmdRing, const NamedEvent& event,
                             const CommandSlot& slot,
                             std::chrono::steady_clock::time_point deadline);

// Reader of the hit ring: copies the oldest pending slot and releases it.
class HitRingReader {
 public:
  HitRingReader(SharedMapping mapping, NamedEvent event);

  bool Ready() const { return ring_ != nullptr; }
  // The next pending message, released to the producer once copied; nullopt when none is
  // pending. Indexes that claim more than 64 pending messages (a reader ran ahead) are put right
  // by skipping to writeIndex, and `resynced` is set.
  std::optional<HitSlot> TryNext(bool* resynced = nullptr);
  // Sleeps until the producer signals or `timeout` (capped at 50 ms) passes.
  void WaitForMore(std::chrono::milliseconds timeout) const;
  // Consumes every pending message without looking at it; returns how many.
  std::uint32_t DiscardPending();

 private:
  NamedEvent event_;
  SharedMapping mapping_;
  HitRingLayout* ring_ = nullptr;
};

// Runs one invocation (the arguments after the program name); returns the exit code.
int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tavrik::ctl
