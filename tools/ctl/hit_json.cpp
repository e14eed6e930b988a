#include "tools/ctl/hit_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "ipc/hit_ring.h"

namespace tavrik::ctl {
namespace {

std::uint32_t Pending(const RingHeader& header) { return header.writeIndex - header.readIndex; }

}  // namespace

std::string JsonString(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (const char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;  // bytes of multi-byte UTF-8 sequences pass through unchanged
        }
    }
  }
  out += '"';
  return out;
}

std::string JsonFloat(float value) {
  if (!std::isfinite(value)) return "null";
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return "null";
  return std::string(buffer, end);
}

std::string HitSlotToJson(const HitSlot& slot) {
  std::string out = "{\"timestampMs\":" + std::to_string(slot.timestampMs);
  out += ",\"posX\":" + std::to_string(slot.posX);
  out += ",\"posY\":" + std::to_string(slot.posY);
  out += ",\"roiWidth\":" + std::to_string(slot.roiWidth);
  out += ",\"roiHeight\":" + std::to_string(slot.roiHeight);
  out += ",\"isHit\":" + std::to_string(slot.isHit);
  out += ",\"score\":" + JsonFloat(slot.score);
  out += ",\"threshold\":" + JsonFloat(slot.threshold);
  out += ",\"baseline\":" + JsonFloat(slot.baseline);
  out += ",\"name\":" + JsonString(DecodeHitName(slot));
  out += '}';
  return out;
}

std::string RingHeaderToJson(const RingHeader& header) {
  return "{\"writeIndex\":" + std::to_string(header.writeIndex) +
         ",\"readIndex\":" + std::to_string(header.readIndex) +
         ",\"droppedCount\":" + std::to_string(header.droppedCount) +
         ",\"headerReserved\":" + std::to_string(header.headerReserved) +
         ",\"pending\":" + std::to_string(Pending(header)) + "}";
}

std::string RingHeaderToText(const RingHeader& header) {
  return "writeIndex=" + std::to_string(header.writeIndex) +
         " readIndex=" + std::to_string(header.readIndex) +
         " droppedCount=" + std::to_string(header.droppedCount) +
         " headerReserved=" + std::to_string(header.headerReserved) +
         " pending=" + std::to_string(Pending(header));
}

}  // namespace tavrik::ctl
