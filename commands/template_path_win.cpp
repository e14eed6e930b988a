// Windows side of template path resolution: the Windows grammar, a status query that follows
// links as the existence test, and the file-system code page as the decoder's narrow form.
#include <locale.h>
#include <windows.h>

#include <climits>
#include <system_error>

#include "commands/template_path.h"

namespace tavrik {
namespace {

std::u16string ToU16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }
std::wstring ToWide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

// The code page the C runtime's narrow file functions use for names, as a real code page number:
// the system's ANSI (or OEM) code page may itself be UTF-8, and the conversion flags must follow
// what the code page is, not how it was named.
UINT FileSystemCodePage() {
  if (___lc_codepage_func() == CP_UTF8) return CP_UTF8;
  return AreFileApisANSI() ? GetACP() : GetOEMCP();
}

}  // namespace

std::filesystem::path ResolveTemplatePath(std::u16string_view path,
                                          const std::filesystem::path& exeDirectory) {
  const auto nul = path.find(u'\0');
  if (nul != std::u16string_view::npos) path = path.substr(0, nul);
  const auto exists = [](const std::u16string& candidate) {
    std::error_code ec;  // any failed query (bad name, network, access) counts as "not there"
    return std::filesystem::exists(std::filesystem::status(ToWide(candidate), ec));
  };
  return std::filesystem::path(
      ToWide(ResolveWindowsTemplatePath(path, ToU16(exeDirectory.native()), exists)));
}

DecoderPath NarrowPathForDecoder(const std::filesystem::path& resolved) {
  const std::wstring& wide = resolved.native();
  if (wide.empty()) return DecoderPath{};
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) return DecoderPath{std::string(), false};
  const int length = static_cast<int>(wide.size());
  const UINT codePage = FileSystemCodePage();
  // UTF-8 refuses lone surrogates; other code pages must not substitute look-alikes or '?'. (UTF-8
  // takes neither WC_NO_BEST_FIT_CHARS nor a used-default flag: with them every call fails.)
  const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = codePage == CP_UTF8 ? nullptr : &usedDefault;

  int size = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr,
                                 usedDefaultOut);
  if (size > 0) {
    std::string narrow(static_cast<std::size_t>(size), '\0');
    usedDefault = FALSE;
    if (WideCharToMultiByte(codePage, flags, wide.data(), length, narrow.data(), size, nullptr,
                            usedDefaultOut) == size &&
        !usedDefault) {
      return DecoderPath{std::move(narrow), true};
    }
  }
  // Not representable: a lossy form for the failure line only.
  size = WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return DecoderPath{std::string(), false};
  std::string lossy(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), length, lossy.data(), size, nullptr, nullptr);
  return DecoderPath{std::move(lossy), false};
}

}  // namespace tavrik
