// Reading the worker's output as a UI would: hit-ring messages through the hit ring's reader, and
// the diagnostic lines the worker appended to its TAVRIK_LOG file. Header-only and portable, so
// the Linux and Windows end-to-end tests share it. Test thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ipc/hit_ring.h"
#include "ipc/ring_layout.h"
#include "tests/support/test_support.h"

namespace tavrik::test {

struct ReceivedHit {
  std::string name;
  bool hit = false;
  std::int32_t x = 0, y = 0, w = 0, h = 0;
  std::int64_t timestampMs = 0;
  float score = 0.0f;
};

inline ReceivedHit DecodeReceivedHit(const HitSlot& slot) {
  return ReceivedHit{DecodeHitName(slot), slot.isHit != 0, slot.posX,        slot.posY,
                     slot.roiWidth,       slot.roiHeight,  slot.timestampMs, slot.score};
}

// Consumes hit-ring messages (each appended to `seen` when given) until `done` holds for one.
inline std::optional<ReceivedHit> WaitForHit(HitRingReader& reader,
                                             const std::function<bool(const ReceivedHit&)>& done,
                                             std::chrono::milliseconds timeout,
                                             std::vector<ReceivedHit>* seen = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    while (auto slot = reader.TryNext()) {
      ReceivedHit m = DecodeReceivedHit(*slot);
      if (seen != nullptr) seen->push_back(m);
      if (done(m)) return m;
    }
    reader.WaitForMore(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

// The lines of a log file that start with `prefix`.
inline std::vector<std::string> LogLinesWithPrefix(const std::filesystem::path& log,
                                                   const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(ReadFile(log.string()));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

}  // namespace tavrik::test
