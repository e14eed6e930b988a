#include "base/line_escape.h"

#include <cstdint>

namespace tavrik {
namespace {

bool IsPlainAscii(unsigned char c) { return c >= 0x20 && c < 0x7F; }

bool MustEscape(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void AppendHex(std::string& out, std::uint32_t value, int minDigits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0 || n < minDigits);
  while (n > 0) out.push_back(buffer[--n]);
}

// Length of the well-formed UTF-8 sequence at text[i] and its code point; 0 when the bytes there
// do not start one (the same table as the UTF-16 conversion: no overlongs, no surrogates, nothing
// above U+10FFFF).
std::size_t DecodeAt(std::string_view text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  std::size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char b = byte(i + k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return length;
}

}  // namespace

void AppendLineSafe(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of printable ASCII, by far the common case, are copied in one piece.
    std::size_t plain = i;
    while (plain < text.size() && IsPlainAscii(static_cast<unsigned char>(text[plain]))) ++plain;
    out.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;

    char32_t cp = 0;
    const std::size_t length = DecodeAt(text, i, cp);
    if (length == 0) {
      out += "\\x{";
      AppendHex(out, static_cast<unsigned char>(text[i]), 2);
      out += '}';
      ++i;
    } else if (MustEscape(cp)) {
      out += "\\u{";
      AppendHex(out, cp, 1);
      out += '}';
      i += length;
    } else {
      out.append(text.data() + i, length);
      i += length;
    }
  }
}

std::string LineSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendLineSafe(out, text);
  return out;
}

bool IsLineSafe(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (IsPlainAscii(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = DecodeAt(text, i, cp);
    if (length == 0 || MustEscape(cp)) return false;
    i += length;
  }
  return true;
}

}  // namespace tavrik
