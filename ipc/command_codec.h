// The command record and its two codings: a SpecCommand is what a CommandSlot means, and the
// encoder and decoder here are the only code that maps one onto the other, for the worker (decode)
// and for every client (encode).
//
// Text fields are fixed-width UTF-16 with no terminator required: decoding takes the units before
// the first zero unit, or the whole field when there is none. Encoding copies at most the field's
// width; ConvertFieldText is the client's check that a command-line text arrives whole.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ipc/ring_layout.h"

namespace tavrik {

struct SpecCommand {
  std::int32_t commandType = 0;
  std::u16string processName;
  std::u16string name;
  std::u16string path;
  std::int32_t roiX = 0;
  std::int32_t roiY = 0;
  std::int32_t roiWidth = 0;
  std::int32_t roiHeight = 0;
  float threshold = 0.0f;
  float spare = 0.0f;
  std::int32_t cooldownMs = 0;
  float baselineMargin = 0.0f;
};

// Copies a slot; text fields end at their first zero unit or fill their whole width.
SpecCommand DecodeCommandSlot(const CommandSlot& slot);

// Fills a slot from a command: every field the command carries, text cut to its field's width,
// and zeros in every byte the command does not use (the reserved bytes included).
CommandSlot EncodeCommandSlot(const SpecCommand& command);

// Converts a UTF-8 text for a slot field: refused (with a message naming `field` and `maxUnits`)
// when it holds a NUL, is not valid UTF-8, or needs more than `maxUnits` UTF-16 units.
bool ConvertFieldText(std::string_view utf8, std::string_view field, std::size_t maxUnits,
                      std::u16string& out, std::string& error);

}  // namespace tavrik
