#include "base/line_escape.h"

#include <cstdint>

#include "base/utf.h"

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

    const Utf8Step step = DecodeUtf8At(text, i);
    if (!step.valid) {
      // Byte by byte: each is shown as it was.
      for (std::size_t k = 0; k < step.length; ++k) {
        out += "\\x{";
        AppendHex(out, static_cast<unsigned char>(text[i + k]), 2);
        out += '}';
      }
    } else if (MustEscape(step.codePoint)) {
      out += "\\u{";
      AppendHex(out, step.codePoint, 1);
      out += '}';
    } else {
      out.append(text.data() + i, step.length);
    }
    i += step.length;
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
    const Utf8Step step = DecodeUtf8At(text, i);
    if (!step.valid || MustEscape(step.codePoint)) return false;
    i += step.length;
  }
  return true;
}

}  // namespace tavrik
