// Text conversions: UTF-16 -> UTF-8 -> UTF-16, the HitSlot name encoder and the line escape.
#include <cstring>

#include "base/line_escape.h"
#include "base/utf.h"
#include "fuzz/fuzz_check.h"
#include "ipc/hit_ring.h"

namespace tavrik::fuzz {
namespace {

bool IsSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// What a conversion must give back for UTF-16 text: lone surrogates become U+FFFD, pairs and
// everything else stay.
std::u16string Repaired(std::u16string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      out.push_back(u);
      out.push_back(text[++i]);
    } else {
      out.push_back(IsSurrogate(u) ? u'\uFFFD' : u);
    }
  }
  return out;
}

void Utf16Properties(const std::uint8_t* data, std::size_t size) {
  std::u16string units = Utf16Units(data, size);
  const std::string utf8 = ToUtf8(units);
  const std::size_t nul = units.find(u'\0');
  if (nul != std::u16string::npos) units.resize(nul);  // ToUtf8 stops at the first NUL
  Check(Utf8ToUtf16(utf8) == Repaired(units), "UTF-16 -> UTF-8 -> UTF-16 keeps the text");
  Check(ToUtf8(Utf8ToUtf16(utf8)) == utf8, "UTF-8 from the converter is well-formed");

  // The HitSlot name: at most 30 units of the name, a whole-character prefix, two zero units.
  HitSlot slot{};
  EncodeHitName(utf8, slot.name);
  Check(slot.name[30] == 0 && slot.name[31] == 0, "name field keeps its last two units zero");
  const std::u16string wide = Utf8ToUtf16(utf8);
  std::size_t length = 0;
  while (length < kNameUnits && slot.name[length] != 0) ++length;
  const std::u16string_view stored(slot.name, length);
  Check(length <= kHitNameMaxUnits, "name field holds at most 30 units");
  Check(wide.compare(0, length, stored) == 0, "name field holds a prefix of the name");
  Check(length == 0 || !(stored.back() >= 0xD800 && stored.back() <= 0xDBFF),
        "name field never ends in half a surrogate pair");
  Check(length == std::min<std::size_t>(wide.size(), kHitNameMaxUnits) ||
            (length + 1 == kHitNameMaxUnits && wide.size() > kHitNameMaxUnits),
        "name field keeps the longest whole-character prefix");
  Check(DecodeHitName(slot) == ToUtf8(stored), "name field decodes to the stored prefix");
}

void EscapeProperties(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string escaped = LineSafe(text);
  Check(IsLineSafe(escaped), "escaped text is line-safe", escaped);
  Check(LineSafe(escaped) == escaped, "escaping is idempotent", escaped);
  Check((escaped == text) == IsLineSafe(text), "only line-safe text is left unchanged", escaped);
  Check(escaped.find('\n') == std::string::npos && escaped.find('\r') == std::string::npos,
        "escaped text holds no line break", escaped);
}

}  // namespace
}  // namespace tavrik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavrik::fuzz::Utf16Properties(data, size);
  tavrik::fuzz::EscapeProperties(data, size);
  return 0;
}
