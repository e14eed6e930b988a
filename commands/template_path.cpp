#include "commands/template_path.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tavrik {
namespace {

// Path grammar of Windows: both slashes separate, root names are drives, UNC servers and the
// device / long-path prefixes.
struct WindowsGrammar {
  using Char = char16_t;
  static constexpr Char kPreferred = u'\\';
  static bool IsSep(Char c) { return c == u'\\' || c == u'/'; }
  static bool IsDriveLetter(Char c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
  static bool HasDrivePrefix(std::u16string_view s) {
    return s.size() >= 2 && IsDriveLetter(s[0]) && s[1] == u':';
  }

  static std::size_t RootNameLength(std::u16string_view s) {
    if (s.size() < 2) return 0;
    if (HasDrivePrefix(s)) return 2;
    if (!IsSep(s[0])) return 0;
    // "\\?\x", "\\.\x" and "\??\x": the first three units are the root name.
    if (s.size() >= 4 && IsSep(s[3]) && (s.size() == 4 || !IsSep(s[4])) &&
        ((IsSep(s[1]) && (s[2] == u'?' || s[2] == u'.')) || (s[1] == u'?' && s[2] == u'?'))) {
      return 3;
    }
    // "\\server": the root name runs to the next separator.
    if (s.size() >= 3 && IsSep(s[1]) && !IsSep(s[2])) {
      std::size_t end = 3;
      while (end < s.size() && !IsSep(s[end])) ++end;
      return end;
    }
    return 0;
  }

  static bool IsAbsolute(std::u16string_view s) {
    if (HasDrivePrefix(s)) return s.size() >= 3 && IsSep(s[2]);
    return RootNameLength(s) != 0;
  }

  static bool SameRootName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i] != b[i] && !(IsSep(a[i]) && IsSep(b[i]))) return false;
    }
    return true;
  }
};

// Path grammar of POSIX: only '/' separates and there is no root name.
struct PosixGrammar {
  using Char = char;
  static constexpr Char kPreferred = '/';
  static bool IsSep(Char c) { return c == '/'; }
  static std::size_t RootNameLength(std::string_view) { return 0; }
  static bool IsAbsolute(std::string_view s) { return !s.empty() && s.front() == '/'; }
  static bool SameRootName(std::string_view, std::string_view) { return true; }
};

template <typename G>
using View = std::basic_string_view<typename G::Char>;
template <typename G>
using Str = std::basic_string<typename G::Char>;

template <typename G>
bool HasRootDirectory(View<G> s) {
  const std::size_t n = G::RootNameLength(s);
  return n < s.size() && G::IsSep(s[n]);
}

// Index where the relative part begins: after the root name and every separator of the root.
template <typename G>
std::size_t RelativeStart(View<G> s) {
  std::size_t i = G::RootNameLength(s);
  while (i < s.size() && G::IsSep(s[i])) ++i;
  return i;
}

template <typename G>
bool HasFilename(View<G> s) {
  return RelativeStart<G>(s) < s.size() && !G::IsSep(s.back());
}

// std::filesystem::path::operator/ of the grammar.
template <typename G>
Str<G> Join(View<G> directory, View<G> path) {
  const std::size_t pathRoot = G::RootNameLength(path);
  if (G::IsAbsolute(path) ||
      (pathRoot != 0 && !G::SameRootName(path.substr(0, pathRoot),
                                         directory.substr(0, G::RootNameLength(directory))))) {
    return Str<G>(path);
  }
  Str<G> out;
  if (HasRootDirectory<G>(path)) {
    out.assign(directory.substr(0, G::RootNameLength(directory)));
  } else {
    out.assign(directory);
    if (HasFilename<G>(directory) ||
        (!HasRootDirectory<G>(directory) && G::IsAbsolute(directory))) {
      out.push_back(G::kPreferred);
    }
  }
  out.append(path.substr(pathRoot));
  return out;
}

template <typename G>
bool IsDot(View<G> e) {
  return e.size() == 1 && e[0] == '.';
}
template <typename G>
bool IsDotDot(View<G> e) {
  return e.size() == 2 && e[0] == '.' && e[1] == '.';
}

// std::filesystem::path::lexically_normal of the grammar; never touches the file system.
template <typename G>
Str<G> Normalize(View<G> s) {
  if (s.empty()) return {};
  const std::size_t rootName = G::RootNameLength(s);
  const bool rootDir = HasRootDirectory<G>(s);

  std::vector<View<G>> parts;
  bool trailingSep = false;
  std::size_t i = RelativeStart<G>(s);
  while (i < s.size()) {
    std::size_t end = i;
    while (end < s.size() && !G::IsSep(s[end])) ++end;
    const View<G> element = s.substr(i, end - i);
    if (IsDot<G>(element)) {
      trailingSep = true;  // "a/." leaves "a/"
    } else if (IsDotDot<G>(element)) {
      if (!parts.empty() && !IsDotDot<G>(parts.back())) {
        parts.pop_back();
        trailingSep = true;                      // "a/b/.." leaves "a/"
      } else if (!(parts.empty() && rootDir)) {  // ".." right after a root is dropped
        parts.push_back(element);
        trailingSep = false;
      }
    } else {
      parts.push_back(element);
      trailingSep = false;
    }
    i = end;
    if (i < s.size()) {
      while (i < s.size() && G::IsSep(s[i])) ++i;
      if (i == s.size()) trailingSep = true;
    }
  }
  if (!parts.empty() && IsDotDot<G>(parts.back())) trailingSep = false;

  Str<G> out;
  for (std::size_t k = 0; k < rootName; ++k) out.push_back(G::IsSep(s[k]) ? G::kPreferred : s[k]);
  if (rootDir) out.push_back(G::kPreferred);
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k != 0) out.push_back(G::kPreferred);
    out.append(parts[k]);
  }
  if (trailingSep && !parts.empty()) out.push_back(G::kPreferred);
  if (out.empty()) out.push_back('.');
  return out;
}

// The directory without its last component and the separators before it; a root is its own
// parent.
template <typename G>
View<G> ParentPath(View<G> s) {
  const std::size_t relative = RelativeStart<G>(s);
  std::size_t last = s.size();
  while (last > relative && !G::IsSep(s[last - 1])) --last;
  while (last > relative && G::IsSep(s[last - 1])) --last;
  return s.substr(0, last);
}

template <typename G, typename Exists>
Str<G> Resolve(View<G> path, View<G> exeDirectory, const Exists& exists,
               const std::vector<Str<G>>& dataDirectories = {}) {
  if (path.empty()) return {};
  if (G::IsAbsolute(path)) return Str<G>(path);

  const Str<G> first = Normalize<G>(Join<G>(exeDirectory, path));
  View<G> directory = exeDirectory;
  Str<G> candidate = first;
  for (;;) {
    if (exists(candidate)) return candidate;
    const View<G> parent = ParentPath<G>(directory);
    if (parent.empty() || parent == directory) break;
    directory = parent;
    candidate = Normalize<G>(Join<G>(directory, path));
  }
  for (const Str<G>& data : dataDirectories) {
    candidate = Normalize<G>(Join<G>(data, path));
    if (exists(candidate)) return candidate;
  }
  return first;
}

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool IsReservedDeviceName(std::u16string_view component) {
  // The device is named by the part before any extension or stream; blanks and dots at its end
  // are ignored by the system, so "CON .txt" and "nul." are devices too.
  component = component.substr(0, component.find_first_of(u".:"));
  while (!component.empty() && (component.back() == u' ' || component.back() == u'.')) {
    component.remove_suffix(1);
  }
  for (const std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (EqualsIgnoringAsciiCase(component, name)) return true;
  }
  if (component.size() != 4) return false;
  const std::u16string_view stem = component.substr(0, 3);
  const char16_t digit = component[3];
  return (EqualsIgnoringAsciiCase(stem, u"COM") || EqualsIgnoringAsciiCase(stem, u"LPT")) &&
         ((digit >= u'1' && digit <= u'9') || digit == u'\u00b9' || digit == u'\u00b2' ||
          digit == u'\u00b3');
}

// The share of a UNC path ("\\host\share\..."): separators of either kind and runs of them
// alike, "." components dropped, trailing dots and blanks of a component ignored, ".." taking the
// component before it. The system keeps "\\host\share" as a root that ".." never climbs past, so
// in its reading ".." never takes the share; with `dotDotTakesShare` it may, as a reader that
// collapses further would. Empty when the path names no share.
std::u16string_view UncShare(std::u16string_view path, bool dotDotTakesShare) {
  using G = WindowsGrammar;
  if (path.size() < 3 || !G::IsSep(path[0]) || !G::IsSep(path[1]) || G::IsSep(path[2])) return {};
  std::size_t i = 2;
  while (i < path.size() && !G::IsSep(path[i])) ++i;  // the host
  std::vector<std::u16string_view> components;
  while (i < path.size()) {
    while (i < path.size() && G::IsSep(path[i])) ++i;
    const std::size_t start = i;
    while (i < path.size() && !G::IsSep(path[i])) ++i;
    std::u16string_view component = path.substr(start, i - start);
    if (component == u"..") {
      if (components.size() > (dotDotTakesShare ? 0u : 1u)) components.pop_back();
      continue;
    }
    while (!component.empty() && (component.back() == u'.' || component.back() == u' ')) {
      component.remove_suffix(1);
    }
    if (!component.empty()) components.push_back(component);
  }
  return components.empty() ? std::u16string_view() : components.front();
}

}  // namespace

bool IsWindowsDevicePath(std::u16string_view path) {
  using G = WindowsGrammar;
  if (path.size() >= 4 && G::IsSep(path[0]) && G::IsSep(path[3])) {
    const bool local = G::IsSep(path[1]) && path[2] == u'.';    // \\.\ (Win32 devices)
    const bool nt = path[1] == u'?' && path[2] == u'?';         // \??\ (NT object names)
    const bool literal = G::IsSep(path[1]) && path[2] == u'?';  // \\?\ (no normalisation)
    if (local || nt) return true;
    if (literal &&
        !(G::HasDrivePrefix(path.substr(4)) && (path.size() == 6 || G::IsSep(path[6])))) {
      return true;
    }
  }
  // Pipes and mailslots of any host, this one included: the redirector connects to them.
  // "\\host\pipe\..\x" is the pipe x, since ".." stops at the share; a path whose share would
  // be one of them if ".." went further is refused as well, whichever reading opens it.
  for (const bool dotDotTakesShare : {false, true}) {
    const std::u16string_view share = UncShare(path, dotDotTakesShare);
    if (EqualsIgnoringAsciiCase(share, u"pipe") || EqualsIgnoringAsciiCase(share, u"mailslot")) {
      return true;
    }
  }
  std::size_t last = path.size();
  while (last > 0 && !G::IsSep(path[last - 1])) --last;
  std::u16string_view component = path.substr(last);
  if (G::HasDrivePrefix(component)) component.remove_prefix(2);  // "C:nul"
  return IsReservedDeviceName(component);
}

std::u16string ResolveWindowsTemplatePath(std::u16string_view path,
                                          std::u16string_view exeDirectory,
                                          const WidePathExists& exists) {
  return Resolve<WindowsGrammar>(path, exeDirectory, exists);
}

std::string ResolvePosixTemplatePath(std::string_view path, std::string_view exeDirectory,
                                     const NarrowPathExists& exists,
                                     const std::vector<std::string>& dataDirectories) {
  if (PosixGrammar::IsAbsolute(path)) return std::string(path);
  std::string relative(path);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return Resolve<PosixGrammar>(std::string_view(relative), exeDirectory, exists, dataDirectories);
}

std::vector<std::string> XdgTemplateDirectories(const char* dataHome, const char* home,
                                                const char* dataDirs) {
  // Relative entries are invalid in the XDG variables and are ignored, as are empty ones.
  const auto usable = [](std::string_view dir) { return !dir.empty() && dir.front() == '/'; };
  const auto under = [](std::string_view dir, std::string_view rest) {
    while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
    return std::string(dir).append(rest);
  };
  std::vector<std::string> out;
  if (dataHome != nullptr && usable(dataHome)) {
    out.push_back(under(dataHome, "/tavrik"));
  } else if (home != nullptr && usable(home)) {
    out.push_back(under(home, "/.local/share/tavrik"));
  }
  std::string_view dirs =
      dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share/:/usr/share/";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    if (usable(dir)) out.push_back(under(dir, "/tavrik"));
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
  }
  return out;
}

}  // namespace tavrik
