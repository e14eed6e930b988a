#include "ipc/command_codec.h"

#include <algorithm>
#include <cstring>

#include "base/utf.h"

namespace tavrik {
namespace {

template <std::size_t N>
std::u16string DecodeText(const char16_t (&field)[N]) {
  std::size_t length = 0;
  while (length < N && field[length] != u'\0') ++length;
  return std::u16string(field, length);
}

template <std::size_t N>
void EncodeText(const std::u16string& text, char16_t (&field)[N]) {
  std::memcpy(field, text.data(), std::min(text.size(), N) * sizeof(char16_t));
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

CommandSlot EncodeCommandSlot(const SpecCommand& command) {
  CommandSlot slot;
  std::memset(&slot, 0, sizeof slot);
  slot.commandType = command.commandType;
  slot.cooldownMs = command.cooldownMs;
  slot.baselineMargin = command.baselineMargin;
  EncodeText(command.processName, slot.processName);
  EncodeText(command.name, slot.name);
  EncodeText(command.path, slot.path);
  slot.roiX = command.roiX;
  slot.roiY = command.roiY;
  slot.roiWidth = command.roiWidth;
  slot.roiHeight = command.roiHeight;
  slot.threshold = command.threshold;
  slot.spare = command.spare;
  return slot;
}

bool ConvertFieldText(std::string_view utf8, std::string_view field, std::size_t maxUnits,
                      std::u16string& out, std::string& error) {
  const std::string fieldName(field);
  if (utf8.find('\0') != std::string_view::npos) {
    error = fieldName + " must not contain a NUL character";
    return false;
  }
  std::u16string wide = Utf8ToUtf16(utf8);
  if (ToUtf8(wide) != utf8) {
    error = fieldName + " is not valid UTF-8";
    return false;
  }
  if (wide.size() > maxUnits) {
    error = fieldName + " is " + std::to_string(wide.size()) + " UTF-16 units long; the limit is " +
            std::to_string(maxUnits);
    return false;
  }
  out = std::move(wide);
  return true;
}

}  // namespace tavrik
