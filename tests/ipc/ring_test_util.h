// Test-side views of the two rings: a peer that reads the hit ring and writes the command ring
// through plain byte offsets, independent of the worker's structs.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik::test {

inline std::uint32_t ReadU32(const void* base, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(base) + offset, 4);
  return v;
}
inline void WriteU32(void* base, std::size_t offset, std::uint32_t v) {
  std::memcpy(static_cast<std::uint8_t*>(base) + offset, &v, 4);
}
inline float ReadF32(const void* base, std::size_t offset) {
  float v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(base) + offset, 4);
  return v;
}

struct PeerHitSlot {
  std::int64_t timestampMs;
  std::int32_t posX, posY, roiWidth, roiHeight;
  std::uint32_t isHit;
  float score, threshold, baseline;
  std::u16string name;  // up to the first zero unit
  char16_t rawName[32];
};

// Decodes hit slot `index` by its documented byte offsets.
inline PeerHitSlot ReadHitSlot(const void* ring, std::uint32_t index) {
  const auto* slot = static_cast<const std::uint8_t*>(ring) + 16 + 132 * (index & 63);
  PeerHitSlot out{};
  std::memcpy(&out.timestampMs, slot + 0, 8);
  std::memcpy(&out.posX, slot + 8, 4);
  std::memcpy(&out.posY, slot + 12, 4);
  std::memcpy(&out.roiWidth, slot + 16, 4);
  std::memcpy(&out.roiHeight, slot + 20, 4);
  std::memcpy(&out.isHit, slot + 24, 4);
  out.score = ReadF32(slot, 32);
  out.threshold = ReadF32(slot, 36);
  out.baseline = ReadF32(slot, 40);
  std::memcpy(out.rawName, slot + 44, 64);
  std::size_t n = 0;
  while (n < 32 && out.rawName[n] != 0) ++n;
  out.name.assign(out.rawName, n);
  return out;
}

// Writes a command slot by byte offsets; text is copied unit by unit without a terminator check,
// so a full-width field can be produced.
struct PeerCommand {
  std::int32_t commandType = 0;
  std::int32_t cooldownMs = 0;
  float baselineMargin = 0;
  std::u16string processName, name, path;
  std::int32_t roi[4] = {0, 0, 0, 0};
  float threshold = 0;
  float spare = 0;
};

inline void WriteCommandSlot(void* ring, std::uint32_t index, const PeerCommand& c) {
  auto* slot = static_cast<std::uint8_t*>(ring) + 16 + 320 * (index & 63);
  std::memset(slot, 0, 320);
  std::memcpy(slot + 0, &c.commandType, 4);
  std::memcpy(slot + 4, &c.cooldownMs, 4);
  std::memcpy(slot + 8, &c.baselineMargin, 4);
  std::memcpy(slot + 12, c.processName.data(), std::min<std::size_t>(c.processName.size(), 16) * 2);
  std::memcpy(slot + 44, c.name.data(), std::min<std::size_t>(c.name.size(), 32) * 2);
  std::memcpy(slot + 108, c.path.data(), std::min<std::size_t>(c.path.size(), 64) * 2);
  std::memcpy(slot + 236, c.roi, 16);
  std::memcpy(slot + 252, &c.threshold, 4);
  std::memcpy(slot + 256, &c.spare, 4);
}

}  // namespace tavrik::test
