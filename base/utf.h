// UTF-16 <-> UTF-8 conversion shared by the rings, the registry and the capture backends.
//
// Behaves like the Windows conversions called without flags: malformed input never fails the
// conversion, each bad sequence (a lone surrogate, an invalid UTF-8 byte run) becomes U+FFFD.
// Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tavrik {

// UTF-16 to UTF-8, up to the first NUL unit (or the end). Never fails; empty input gives "".
std::string ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16, the whole input. Each maximal invalid subsequence becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// One step through UTF-8 text: the character that starts at `at` (valid, with its code point and
// byte length), or, where the bytes are not well-formed UTF-8, the maximal subsequence that a
// decoder replaces by one U+FFFD (valid false, length at least 1). `at` must be inside `text`.
struct Utf8Step {
  char32_t codePoint = 0;
  std::size_t length = 1;
  bool valid = false;
};
Utf8Step DecodeUtf8At(std::string_view text, std::size_t at);

// The longest prefix of `text` that is at most `maxUnits` long without splitting a surrogate pair.
std::u16string_view TruncateUtf16(std::u16string_view text, std::size_t maxUnits);

}  // namespace tavrik
