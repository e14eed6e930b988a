// Byte layouts of the two shared-memory rings, exactly as the peer process sees them.
//
// Both rings start with a RingHeader and continue with 64 fixed-size slots. The structs here are
// the only description of those bytes in the code base; every size and offset is pinned by a
// static_assert so that a careless edit cannot silently change the protocol. Index fields are
// accessed through LoadIndex/StoreIndex (acquire/release), never as plain fields, because the
// other side of the ring lives in another process.
//
// Thread/process use: plain data, no locking of its own. The command ring is written by the UI
// process and read by the CommandThread; the hit ring is written by the worker (serialised by
// HitRingWriter) and read by the UI process.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tavrik {

static_assert(std::endian::native == std::endian::little,
              "the rings are little-endian and are mapped without byte swapping");

inline constexpr std::uint32_t kRingSlotCount = 64;
inline constexpr std::uint32_t kRingSlotMask = kRingSlotCount - 1;

// Object names, without the per-session prefix that each backend adds.
inline constexpr char kCmdRingMappingName[] = "CmdRingMMF";
inline constexpr char kCmdRingEventName[] = "CmdRingEvent";
inline constexpr char kHitRingMappingName[] = "HitRingMMF";
inline constexpr char kHitRingEventName[] = "HitRingEvent";
// Held by the running worker for its whole life (ipc/worker_lock.h): one worker per ring set, and
// the liveness signal for clients.
inline constexpr char kWorkerLockName[] = "TavrikWorkerLock";

struct RingHeader {
  std::uint32_t writeIndex;
  std::uint32_t readIndex;
  std::uint32_t droppedCount;
  std::uint32_t headerReserved;
};

enum CommandType : std::int32_t {
  kAddSpec = 1,
  kRemoveSpec = 2,
  kClearSpecs = 3,
  kHeartbeat = 4,
  kVersion = 5,
};

inline constexpr std::size_t kProcessNameUnits = 16;
inline constexpr std::size_t kNameUnits = 32;
inline constexpr std::size_t kPathUnits = 64;

struct CommandSlot {
  std::int32_t commandType;
  std::int32_t cooldownMs;
  float baselineMargin;
  char16_t processName[kProcessNameUnits];
  char16_t name[kNameUnits];
  char16_t path[kPathUnits];
  std::int32_t roiX;
  std::int32_t roiY;
  std::int32_t roiWidth;
  std::int32_t roiHeight;
  float threshold;
  float spare;
  std::uint8_t reserved[60];
};

// HitSlots are 132 bytes and follow a 16-byte header, so every other slot's int64 time stamp sits
// on a 4-byte boundary only. Packing to 4 keeps the struct at its wire size; x86-64 handles the
// misaligned 8-byte access natively.
#pragma pack(push, 4)
struct HitSlot {
  std::int64_t timestampMs;
  std::int32_t posX;
  std::int32_t posY;
  std::int32_t roiWidth;
  std::int32_t roiHeight;
  std::uint32_t isHit;
  std::uint8_t slotReserved0[4];
  float score;
  float threshold;
  float baseline;
  char16_t name[kNameUnits];
  std::uint8_t slotReserved1[24];
};
#pragma pack(pop)

struct CmdRingLayout {
  RingHeader header;
  CommandSlot slots[kRingSlotCount];
};

#pragma pack(push, 4)
struct HitRingLayout {
  RingHeader header;
  HitSlot slots[kRingSlotCount];
};
#pragma pack(pop)

inline constexpr std::size_t kCmdRingBytes = 20496;
inline constexpr std::size_t kHitRingBytes = 8464;

static_assert(sizeof(float) == 4 && sizeof(char16_t) == 2);

// Slots and rings are copied with memcpy and mapped between processes as raw bytes.
template <typename T>
inline constexpr bool kIsWireType = std::is_trivially_copyable_v<T>&& std::is_standard_layout_v<T>;
static_assert(kIsWireType<RingHeader> && kIsWireType<CommandSlot> && kIsWireType<HitSlot>);
static_assert(kIsWireType<CmdRingLayout> && kIsWireType<HitRingLayout>);
static_assert(sizeof(RingHeader) == 16);
static_assert(offsetof(RingHeader, writeIndex) == 0);
static_assert(offsetof(RingHeader, readIndex) == 4);
static_assert(offsetof(RingHeader, droppedCount) == 8);
static_assert(offsetof(RingHeader, headerReserved) == 12);

static_assert(sizeof(CommandSlot) == 320);
static_assert(offsetof(CommandSlot, commandType) == 0);
static_assert(offsetof(CommandSlot, cooldownMs) == 4);
static_assert(offsetof(CommandSlot, baselineMargin) == 8);
static_assert(offsetof(CommandSlot, processName) == 12);
static_assert(offsetof(CommandSlot, name) == 44);
static_assert(offsetof(CommandSlot, path) == 108);
static_assert(offsetof(CommandSlot, roiX) == 236);
static_assert(offsetof(CommandSlot, roiY) == 240);
static_assert(offsetof(CommandSlot, roiWidth) == 244);
static_assert(offsetof(CommandSlot, roiHeight) == 248);
static_assert(offsetof(CommandSlot, threshold) == 252);
static_assert(offsetof(CommandSlot, spare) == 256);
static_assert(offsetof(CommandSlot, reserved) == 260);

static_assert(sizeof(HitSlot) == 132);
static_assert(offsetof(HitSlot, timestampMs) == 0);
static_assert(offsetof(HitSlot, posX) == 8);
static_assert(offsetof(HitSlot, posY) == 12);
static_assert(offsetof(HitSlot, roiWidth) == 16);
static_assert(offsetof(HitSlot, roiHeight) == 20);
static_assert(offsetof(HitSlot, isHit) == 24);
static_assert(offsetof(HitSlot, slotReserved0) == 28);
static_assert(offsetof(HitSlot, score) == 32);
static_assert(offsetof(HitSlot, threshold) == 36);
static_assert(offsetof(HitSlot, baseline) == 40);
static_assert(offsetof(HitSlot, name) == 44);
static_assert(offsetof(HitSlot, slotReserved1) == 108);

static_assert(sizeof(CmdRingLayout) == kCmdRingBytes);
static_assert(offsetof(CmdRingLayout, slots) == 16);
static_assert(sizeof(HitRingLayout) == kHitRingBytes);
static_assert(offsetof(HitRingLayout, slots) == 16);

// Index access across processes. The peer publishes a slot with a plain store after writing it;
// an acquire load here orders our slot reads after the index read, and a release store orders our
// slot writes (or copies) before the index becomes visible. Every call site names the store or
// load it pairs with on the other side.
inline std::uint32_t LoadIndex(std::uint32_t& field) {
  return std::atomic_ref<std::uint32_t>(field).load(std::memory_order_acquire);
}
inline void StoreIndex(std::uint32_t& field, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(field).store(value, std::memory_order_release);
}

}  // namespace tavrik
