// Resolution of the template file named by an add command.
//
// An absolute path is used unchanged. A relative path is looked for in the executable directory,
// then in each directory above it up to the root; the nearest directory where it exists wins. On
// Linux an installed worker lives in /usr/bin, where that walk finds nothing useful, so the walk
// goes on with the data directories: $XDG_DATA_HOME/tavrik (default ~/.local/share/tavrik), then
// <dir>/tavrik for each directory of $XDG_DATA_DIRS (default /usr/local/share:/usr/share). When
// the path exists nowhere, the path under the executable directory is used, so that the load
// fails there and the add command reports it. The current working directory plays no part
// (unless the executable directory is unknown, i.e. empty). Windows searches the executable's
// directories only.
//
// Two grammars, both pure and compiled everywhere so that either can be tested on any host; the
// existence test is injected:
//  - Windows: '\' and '/' separate; absolute means "X:" plus a separator, or a root name such as
//    "\\server" or "\\?\"; "\x" and "X:x" are relative. Candidates are joined like
//    std::filesystem on Windows and normalised lexically with '\' throughout.
//  - POSIX: absolute means beginning with '/'. The user interface may send Windows-style relative
//    paths ("templates\ok.png"), so in a relative path '\' separates as well and becomes '/'; a
//    relative path that then begins with a separator is rooted at '/' (as "\x" is rooted at the
//    drive on Windows) and, being the same candidate from every directory, is used as it is.
//    The directory is taken as it is ('\' is an ordinary byte there).
//
// ResolveTemplatePath picks the grammar of the build and a real status query that follows links
// (any kind of entry, a directory included, counts as existing).
//
// Threads: pure functions; the platform entry queries the file system and runs on the
// CommandThread only because the add command does.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

using WidePathExists = std::function<bool(const std::u16string& candidate)>;
using NarrowPathExists = std::function<bool(const std::string& candidate)>;

// Windows grammar over UTF-16. Empty path -> empty result; never fails.
std::u16string ResolveWindowsTemplatePath(std::u16string_view path,
                                          std::u16string_view exeDirectory,
                                          const WidePathExists& exists);

// POSIX grammar over UTF-8 bytes: the upward walk, then each of `dataDirectories` in order.
// Empty path -> empty result; never fails.
std::string ResolvePosixTemplatePath(std::string_view path, std::string_view exeDirectory,
                                     const NarrowPathExists& exists,
                                     const std::vector<std::string>& dataDirectories = {});

// The data directories searched after the upward walk, from the values of $XDG_DATA_HOME, $HOME
// and $XDG_DATA_DIRS (each may be null): "<data home>/tavrik", then "<dir>/tavrik" per data dir.
std::vector<std::string> XdgTemplateDirectories(const char* dataHome, const char* home,
                                                const char* dataDirs);

// True when a Windows path names a device rather than a file, so that it must be refused before
// anything opens it (opening "\\.\pipe\x" already connects to a pipe server, opening "COM1" a
// serial port):
//  - a device namespace: "\\.\", "\??\", or "\\?\" not followed by a drive ("X:"), with
//    either slash as the separator (so "\\?\UNC\..." and "\\.\UNC\..." too);
//  - the "pipe" or "mailslot" share of any host ("\\localhost\pipe\x", "//127.0.0.1/PIPE/x"),
//    which the redirector connects to like "\\.\pipe\x", however the share component is
//    spelt ("pipe.", runs of separators), whatever follows it ("\\host\pipe\..\x" is the
//    pipe x: ".." never climbs past the share), and also when a ".." that went past the share
//    would leave one of them ("x\..\pipe");
//  - a reserved device name as the last component: CON, PRN, AUX, NUL, COM1..COM9, LPT1..LPT9
//    (and COM/LPT with a superscript 1, 2 or 3), CONIN$, CONOUT$, in any case, also with an
//    extension or a stream ("nul.png", "Con .txt", "aux:x") and with trailing dots or blanks.
// Pure; compiled everywhere so that it can be tested and fuzzed on any host.
bool IsWindowsDevicePath(std::u16string_view path);

// The build's grammar with the real existence test. `path` is taken up to its first NUL unit.
std::filesystem::path ResolveTemplatePath(std::u16string_view path,
                                          const std::filesystem::path& exeDirectory);

// The resolved path as the image decoder and the failure line see it: UTF-8 bytes on POSIX; on
// Windows the file-system code page (UTF-8 when the C runtime's code page is UTF-8, otherwise ANSI
// or OEM as the file APIs are set), converted without best-fit substitution. `exact` is false when
// some character has no exact narrow form; `narrow` then holds a lossy form fit only for display.
struct DecoderPath {
  std::string narrow;
  bool exact = true;
};
DecoderPath NarrowPathForDecoder(const std::filesystem::path& resolved);

}  // namespace tavrik
