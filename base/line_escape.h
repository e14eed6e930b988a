// The one escaping rule for text that enters a diagnostic line.
//
// A line must stay one line and must read the same on every terminal, whatever a template name, a
// path, a process name or an exception message carries: a name such as "x\n[HIT] forged" must not
// start a second line, and a right-to-left override must not turn the rest of a line around.
// Every character that could do so is written as a visible escape instead:
//   - C0 controls (U+0000..U+001F), DEL (U+007F) and C1 controls (U+0080..U+009F);
//   - the line and paragraph separators U+2028 and U+2029;
//   - the bidirectional formatting characters U+061C, U+200E, U+200F, U+202A..U+202E and
//     U+2066..U+2069;
// each as "\u{" + upper-case hex code point + "}" (a newline becomes \u{A}, U+202E \u{202E}). A
// byte that is not part of well-formed UTF-8 (on POSIX a path is any bytes) becomes "\x{" + two
// hex digits + "}", so a stray 0x9B can never act as a C1 control either. Everything else, '\'
// and '"' included, is copied unchanged: ordinary text reads exactly as before.
//
// Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tavrik {

// Appends `text` to `out` with every character above escaped.
void AppendLineSafe(std::string& out, std::string_view text);

// `text` with every character above escaped.
std::string LineSafe(std::string_view text);

// True when `text` holds nothing that AppendLineSafe would escape (and so is its own escape).
bool IsLineSafe(std::string_view text);

}  // namespace tavrik
